#include "rule_table.h"

#include "private_profile.h"
#include "text_encoding.h"
#include "text_scan.h"

namespace veltrox {
namespace {

constexpr std::string_view kSection = "user";
constexpr std::string_view kKey = "data";
constexpr std::string_view kPairSeparator = "----";
constexpr std::string_view kRuleEnd = "|";

QString ToQString(const std::string& gb18030) { return QString::fromStdString(Gb18030ToUtf8(gb18030)); }

}  // namespace

RuleTable::RuleTable(std::string settingsPath, QObject* parent)
    : QAbstractTableModel(parent),
      settingsPath_(std::move(settingsPath)),
      snapshot_(std::make_shared<const RuleSet>()) {}

std::string RuleTable::RowText(int row, int column) const {
  if (row < 0 || row >= RowCount() || column < 0 || column >= kColumnCount) return {};
  return rows_[static_cast<std::size_t>(row)].texts[column];
}

int RuleTable::AppendRow(std::string number, std::string specifiedAddress, std::string targetAddress) {
  const int row = RowCount();
  beginInsertRows(QModelIndex(), row, row);
  rows_.push_back(Row{{std::move(number), std::move(specifiedAddress), std::move(targetAddress)}, false});
  endInsertRows();
  Publish();
  return row;
}

void RuleTable::DeleteRow(int row) {
  if (row < 0 || row >= RowCount()) return;
  beginRemoveRows(QModelIndex(), row, row);
  rows_.erase(rows_.begin() + row);
  endRemoveRows();
  Publish();
}

void RuleTable::DeleteAllRows() {
  if (rows_.empty()) return;
  beginResetModel();
  rows_.clear();
  endResetModel();
  Publish();
}

bool RuleTable::CheckMark(int row) const {
  return row >= 0 && row < RowCount() && rows_[static_cast<std::size_t>(row)].checked;
}

void RuleTable::SetCheckMark(int row, bool checked) {
  if (row < 0 || row >= RowCount()) return;
  rows_[static_cast<std::size_t>(row)].checked = checked;
  const QModelIndex cell = index(row, 0);
  emit dataChanged(cell, cell, {Qt::CheckStateRole});
}

int RuleTable::FindRule(std::string_view text, int column) const {
  if (column < 1 || column > 2) return -1;
  for (int row = 0; row < RowCount(); ++row) {
    if (rows_[static_cast<std::size_t>(row)].texts[column] == text) return row;
  }
  return -1;
}

void RuleTable::LoadRules() {
  const std::string value = GetPrivateProfileString(kSection, kKey, "", settingsPath_);
  // Hook threads must see the old table or the new one, never a half-filled one.
  publishing_ = false;
  DeleteAllRows();
  for (const std::string& member : SplitText(value, kRuleEnd)) {
    std::vector<std::string> parts = SplitText(member, kPairSeparator);
    if (parts.size() != 2) continue;
    AppendRow(std::to_string(RowCount() + 1), std::move(parts[0]), std::move(parts[1]));
  }
  publishing_ = true;
  Publish();
}

std::string RuleTable::StoredValue() const {
  std::string value;
  for (const Row& row : rows_) {
    value += row.texts[1];
    value += kPairSeparator;
    value += row.texts[2];
    value += kRuleEnd;
  }
  return value;
}

bool RuleTable::SaveRules() {
  const bool written = WritePrivateProfileString(kSection, kKey, StoredValue(), settingsPath_);
  LoadRules();
  return written;
}

RuleSnapshot RuleTable::Snapshot() const {
  std::lock_guard lock(snapshotMutex_);
  return snapshot_;
}

std::optional<RedirectRule> RuleTable::LookUp(std::string_view url) const {
  const RuleSnapshot snapshot = Snapshot();
  const auto found = snapshot->firstBySpecified.find(url);
  if (found == snapshot->firstBySpecified.end()) return std::nullopt;
  return snapshot->rules[found->second];
}

void RuleTable::Publish() {
  if (!publishing_) return;
  auto set = std::make_shared<RuleSet>();
  set->rules.reserve(rows_.size());
  for (const Row& row : rows_) {
    set->firstBySpecified.try_emplace(row.texts[1], set->rules.size());
    set->rules.push_back({row.texts[1], row.texts[2]});
  }
  std::lock_guard lock(snapshotMutex_);
  snapshot_ = std::move(set);
}

int RuleTable::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : RowCount(); }

int RuleTable::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumnCount; }

QVariant RuleTable::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= RowCount()) return {};
  const Row& row = rows_[static_cast<std::size_t>(index.row())];
  switch (role) {
    case Qt::DisplayRole:
      return ToQString(row.texts[index.column()]);
    case Qt::CheckStateRole:
      if (index.column() == 0) return row.checked ? Qt::Checked : Qt::Unchecked;
      return {};
    case Qt::TextAlignmentRole:
      return index.column() == 0 ? int(Qt::AlignLeft | Qt::AlignVCenter) : int(Qt::AlignCenter);
    default:
      return {};
  }
}

QVariant RuleTable::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= kColumnCount) return {};
  static const QString kHeaders[kColumnCount] = {QStringLiteral("序号"), QStringLiteral("指定地址(本地URL)"),
                                                 QStringLiteral("目标地址(外网URL)")};
  if (role == Qt::DisplayRole) return kHeaders[section];
  if (role == Qt::TextAlignmentRole) {
    return section == 0 ? int(Qt::AlignLeft | Qt::AlignVCenter) : int(Qt::AlignCenter);
  }
  return {};
}

Qt::ItemFlags RuleTable::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  if (index.column() == 0) f |= Qt::ItemIsUserCheckable;
  return f;
}

bool RuleTable::setData(const QModelIndex& index, const QVariant& value, int role) {
  // The list lets the user tick a row and nothing else; ticking saves nothing.
  if (!index.isValid() || index.column() != 0 || role != Qt::CheckStateRole) return false;
  SetCheckMark(index.row(), value.toInt() == Qt::Checked);
  return true;
}

}  // namespace veltrox
