// Saves two different rule tables in turn, for ever, so that a test can kill
// the process at any moment of a save.
#include <QCoreApplication>

#include <string>

#include "rule_table.h"

namespace {

void Fill(veltrox::RuleTable& table, const std::string& prefix, int count) {
  table.DeleteAllRows();
  for (int i = 0; i < count; ++i) {
    table.AppendRow(std::to_string(i + 1), "http://127.0.0.1:5173/" + prefix + std::to_string(i),
                    "https://api.example.com/" + prefix + std::to_string(i));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  veltrox::RuleTable table(argv[1]);
  for (;;) {
    Fill(table, "a", 200);
    table.SaveRules();
    Fill(table, "b", 300);
    table.SaveRules();
  }
}
