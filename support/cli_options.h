// The tools' command lines read with CLI11 (Debian's libcli11-dev), one way
// for all of them: `usage:' as the help's first word, the last of an option
// given twice wins, numbers checked by the tool's own rules before they are
// taken, and a mistake answered by one line naming the option and the value
// and the usage line, with status 2.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <iostream>
#include <string>
#include <vector>

namespace torla::cli {

inline constexpr int kGoOn = -1;        // parsed: the tool goes on
inline constexpr int kUsageStatus = 2;  // wrong usage

// How a tool writes text from the command line into a message (its escaper).
using Escape = std::function<std::string(const std::string&)>;

// Set on an App before its options and sub-commands are added (they inherit it).
inline void house_style(CLI::App& app) {
    app.get_formatter()->label("Usage", "usage");
    app.get_formatter()->column_width(28);
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    // Unknown arguments are named by parse() below, with the sub-command.
    app.allow_extras();
}

// A check of an option's value: `ok' says whether the text is taken; the
// message is "OPTION: `VALUE' " followed by `what' (for example "is not a
// number of 0 or more").
inline CLI::Validator value_check(std::function<bool(const std::string&)> ok,
                                  const std::string& what, const Escape& escape) {
    return CLI::Validator(
        [ok, what, escape](std::string& v) {
            return ok(v) ? std::string() : "`" + escape(v) + "' " + what;
        },
        "");
}

// CLI11's message, plainer where a user looks for the option's name.
inline std::string error_text(const CLI::ParseError& e) {
    const std::string text = e.what();
    const auto colon = text.find(": ");
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) && colon != std::string::npos &&
        text.find(" required ", colon) != std::string::npos && text.ends_with(" missing"))
        return text.substr(0, colon) + " needs a value";
    return text;
}

// The sub-command an app ran into, innermost first, or the app itself.
inline const CLI::App& selected(const CLI::App& app) {
    const auto subs = app.get_subcommands();
    return subs.empty() ? app : selected(*subs.front());
}

// What the command line left over, as the tool says it: "unknown option
// `--x' of run" or "unexpected argument `y'"; "" when nothing.
inline std::string leftover_text(const CLI::App& app, const std::string& sub_command,
                                 const Escape& escape) {
    const std::vector<std::string> rest = app.remaining(true);
    if (rest.empty()) return "";
    const std::string& first = rest.front();
    const std::string of = sub_command.empty() ? "" : " of " + sub_command;
    const bool takes_sub_command =
        !app.get_subcommands([](const CLI::App*) { return true; }).empty();
    if (takes_sub_command && app.get_subcommands().empty() && first[0] != '-')
        return "unknown sub-command `" + escape(first) + "'";
    if (first.size() > 1 && first[0] == '-') return "unknown option `" + escape(first) + "'" + of;
    return "unexpected argument `" + escape(first) + "'" + of;
}

// A usage mistake: "TOOL: WHAT", then the usage line of the sub-command the
// line reached, on standard error; returns the usage status.
inline int usage_error(const CLI::App& app, const std::string& tool, const std::string& what) {
    const CLI::App& at = selected(app);
    CLI::Formatter usage;
    usage.label("Usage", "usage");
    const std::string name =
        at.get_parent() ? at.get_parent()->get_name() + " " + at.get_name() : at.get_name();
    std::cerr << tool << ": " << what << "\n"
              << usage.make_usage(&at, name) << "Run with --help for more.\n";
    return kUsageStatus;
}

// Parses argv (argv[0] the program or sub-command's name). Returns kGoOn,
// 0 after --help (the help on standard output), or the usage status after a
// mistake. `check' tells what is wrong with the options together ("" when
// nothing); sub_command names the command in messages of unknown options
// (the selected sub-command's name when empty and there is one).
inline int parse(CLI::App& app, int argc, const char* const* argv, const std::string& tool,
                 const Escape& escape, const std::function<std::string()>& check = nullptr,
                 std::string sub_command = "") {
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return 0;
    } catch (const CLI::ParseError& e) {
        return usage_error(app, tool, escape(error_text(e)));
    }
    if (sub_command.empty() && &selected(app) != &app) sub_command = selected(app).get_name();
    if (std::string what = leftover_text(app, sub_command, escape); !what.empty())
        return usage_error(app, tool, what);
    if (check)
        if (std::string what = check(); !what.empty()) return usage_error(app, tool, escape(what));
    return kGoOn;
}

}  // namespace torla::cli
