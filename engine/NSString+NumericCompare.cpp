#include "engine/NSString+NumericCompare.h"

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Compares the digit runs starting at a[i] and b[j] by value and moves both past them.
int compareDigitRuns(std::string_view a, std::size_t& i, std::string_view b, std::size_t& j) {
  while (i < a.size() && a[i] == '0' && i + 1 < a.size() && isDigit(a[i + 1])) ++i;
  while (j < b.size() && b[j] == '0' && j + 1 < b.size() && isDigit(b[j + 1])) ++j;
  std::size_t startA = i, startB = j;
  while (i < a.size() && isDigit(a[i])) ++i;
  while (j < b.size() && isDigit(b[j])) ++j;
  std::string_view runA = a.substr(startA, i - startA);
  std::string_view runB = b.substr(startB, j - startB);
  if (runA.size() != runB.size()) return runA.size() < runB.size() ? -1 : 1;
  int order = runA.compare(runB);
  return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

}  // namespace

int zk_compareNumeric(std::string_view a, std::string_view b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (isDigit(a[i]) && isDigit(b[j])) {
      if (int order = compareDigitRuns(a, i, b, j)) return order;
      continue;
    }
    auto ca = static_cast<unsigned char>(a[i]);
    auto cb = static_cast<unsigned char>(b[j]);
    if (ca != cb) return ca < cb ? -1 : 1;
    ++i;
    ++j;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}
