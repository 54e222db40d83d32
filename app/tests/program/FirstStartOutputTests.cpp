// What a first start prints on the terminal: nothing meant only for whoever works on the program.
#include <sstream>
#include <string>

#include "app/tests/program/ProgramTest.h"

namespace {

using qvprogram::ProgramTest;

class FirstStartOutputXvfbTest : public ProgramTest {};

TEST_F(FirstStartOutputXvfbTest, NamesNoFolderItMadeOrImportedInto) {
  launchAndWaitForDashboard();
  const std::string output = programOutput();
  const std::string dataFolder = supportFolder().string();
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    EXPECT_EQ(line.find("Making folder"), std::string::npos) << line;
    // The default data's import result ("1 - <data folder>").
    const bool importResult =
        line.find(dataFolder) != std::string::npos &&
        (line.find("1 - ") != std::string::npos || line.find("0 - ") != std::string::npos);
    EXPECT_FALSE(importResult) << line;
  }
}

}  // namespace
