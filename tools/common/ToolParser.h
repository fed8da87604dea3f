// The command-line parser of the simulated devices, set up the way both use it.
// Header-only: its users link CLI11.
#pragma once

#include <CLI/CLI.hpp>
#include <memory>
#include <string>
#include <vector>

namespace tools {

// A parser whose --help shows description, the options and footer. -h and
// --help set help like any flag; the program's main shows the text.
inline std::unique_ptr<CLI::App> MakeToolParser(const std::string& description,
                                                const std::string& program,
                                                const std::string& footer, bool& help) {
  auto app = std::make_unique<CLI::App>(description, program);
  app->allow_windows_style_options(false);
  app->footer(footer);
  app->set_help_flag();
  app->add_flag("-h,--help", help, "show this text")->disable_flag_override();
  return app;
}

// Parses the arguments after the program name; a parse error throws
// UsageErrorT with the parser's reason.
template <typename UsageErrorT>
void ParseToolArguments(CLI::App& app, const std::vector<std::string>& args) {
  try {
    std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them so
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    throw UsageErrorT(e.what());
  }
}

}  // namespace tools
