// comflash-cli's command line: every usage error exits 64 with a message,
// --help and --version exit 0.
#include <gtest/gtest.h>

#include "tests/tools/cli/CliFixture.h"

namespace {

using namespace clitest;

class CliUsage : public CliFixture {};

TEST_F(CliUsage, EveryMistakeExits64WithAMessageAndNoOutput) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "no HEX file given"},
      {{"-q"}, "no HEX file given"},
      {{"--bogus", hex_}, "--bogus"},
      {{"-x", hex_}, "-x"},
      {{hex_, hex_}, hex_},
      {{"-p"}, "--port"},
      {{hex_, "--port"}, "--port"},
      {{"-p", "", hex_}, "empty port name"},
      {{"-p", "COM3,COM4", "-p", "COM3", hex_}, "port COM3 given twice"},
      {{"--log", hex_}, "no HEX file given"},
      {{"--log"}, "--log"},
      {{"--quiet=maybe", hex_}, "--quiet"},
      {{"--label", "COM3", "-p", "COM3,COM4", hex_}, "--label goes with one port"},
  };
  for (const auto& [args, said] : cases) {
    std::string joined;
    for (const auto& a : args) joined += "'" + a + "' ";
    const auto r = Flash(args);
    EXPECT_EQ(r.status, 64) << joined;
    EXPECT_TRUE(r.out.empty()) << joined << r.out;
    EXPECT_TRUE(Contains(r.err, said)) << joined << "\n" << r.err;
    EXPECT_TRUE(Contains(r.err, "Try 'comflash-cli --help'")) << joined;
  }
}

TEST_F(CliUsage, HelpIsGeneratedFromTheOptionsAndSaysTheExitStatuses) {
  for (const char* flag : {"--help", "-h"}) {
    const auto r = Flash({flag});
    EXPECT_EQ(r.status, 0);
    for (const char* part :
         {"-p,--port PORT", "-v,--verbose", "-q,--quiet", "--list", "--json", "--log FILE",
          "--version", "FILE.hex", "exit status:", "64   usage", "130"})
      EXPECT_TRUE(Contains(r.out, part)) << part << "\n" << r.out;
    EXPECT_FALSE(Contains(r.out, "--label")) << "internal";
  }
}

TEST_F(CliUsage, VersionNamesTheProgram) {
  const auto r = Flash({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("comflash-cli ", 0), 0u) << r.out;
}

TEST_F(CliUsage, OptionsGoAnywhereAndTakeTheirValueEitherWay) {
  const auto port = StartDevice();
  const auto r = Flash({hex_, "--port=" + port, "-q"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(HoldsTheImage());
}

}  // namespace
