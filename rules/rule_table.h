#pragma once

#include <QAbstractTableModel>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace veltrox {

// One rule: a request whose full URL is `specifiedAddress` goes to `targetAddress`.
struct RedirectRule {
  std::string specifiedAddress;
  std::string targetAddress;
  bool operator==(const RedirectRule&) const = default;
};

// An immutable copy of the rules in table order, for threads that must not
// wait on the GUI thread to look a URL up.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

struct RuleSet {
  std::vector<RedirectRule> rules;
  // Specified address -> index of the upper rule that has it.
  std::unordered_map<std::string, std::size_t, TextHash, std::equal_to<>> firstBySpecified;
};
using RuleSnapshot = std::shared_ptr<const RuleSet>;

// The rule list of the main window and its settings file. The rows live here
// and nowhere else; texts are GB18030 bytes. Columns: 0 the row number, 1 the
// specified address, 2 the target address; every row carries a check mark that
// is working state for the bulk commands and is never stored.
//
// Belongs to the GUI thread. Other threads read only Snapshot()/LookUp(), which
// the table republishes after every change (a reload publishes once, at its end).
class RuleTable : public QAbstractTableModel {
  Q_OBJECT

 public:
  static constexpr int kColumnCount = 3;
  static constexpr int kColumnWidths[kColumnCount] = {50, 250, 300};

  // `settingsPath` is the p.ini the rules are loaded from and saved to.
  explicit RuleTable(std::string settingsPath, QObject* parent = nullptr);

  const std::string& SettingsPath() const { return settingsPath_; }

  int RowCount() const { return static_cast<int>(rows_.size()); }
  // The text of a row's column, "" for a row or column that does not exist.
  std::string RowText(int row, int column) const;
  // Appends a row with cleared check mark; returns its index.
  int AppendRow(std::string number, std::string specifiedAddress, std::string targetAddress);
  void DeleteRow(int row);
  void DeleteAllRows();
  bool CheckMark(int row) const;
  void SetCheckMark(int row, bool checked);

  // Index of the first row whose `column` (1 or 2) equals `text` byte for byte,
  // or -1.
  int FindRule(std::string_view text, int column) const;

  // Replaces the rows by those stored in the settings file, numbered 1 to n,
  // every check mark cleared. Members that do not split into exactly two
  // addresses are skipped.
  void LoadRules();
  // Writes the rows to the settings file, then reloads them from it. Returns
  // whether the file was written; a failed write leaves the old file whole.
  bool SaveRules();

  // The value the rows are stored as: "specified----target|" per row.
  std::string StoredValue() const;

  RuleSnapshot Snapshot() const;
  // The first rule of the published snapshot whose specified address equals
  // `url` byte for byte.
  std::optional<RedirectRule> LookUp(std::string_view url) const;

  // QAbstractTableModel
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;

 private:
  struct Row {
    std::string texts[kColumnCount];
    bool checked = false;
  };

  void Publish();

  std::string settingsPath_;
  std::vector<Row> rows_;
  bool publishing_ = true;

  mutable std::mutex snapshotMutex_;
  RuleSnapshot snapshot_;
};

}  // namespace veltrox
