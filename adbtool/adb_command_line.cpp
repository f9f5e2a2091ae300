#include "adbtool/adb_command_line.h"

#include <cstdint>
#include <map>

#include <CLI/CLI.hpp>

#include "adbtool/adb_arguments.h"
#include "adbtool/adb_commands.h"
#include "adbtool/adb_output.h"

namespace adbtool {

namespace {

const char kDescription[] =
    "adbtool " ATTVIEW_VERSION ": makes, changes, lists, checks and salvages\n"
    "attribute databases. DIR is a database directory.";

const char kFooter[] =
    "Options may stand before or after the command; -- ends them, so that a name\n"
    "may start with \"-\". adbtool COMMAND --help explains one command.\n"
    "Every change runs in one write transaction: a command makes all its changes\n"
    "or none.\n"
    "\n"
    "Exit codes: 0 done, 1 the command failed (check: problems found), 2 the\n"
    "command line is wrong, 3 check only: the database is busy, another program\n"
    "kept it from being read.";

// One command's words as the command functions take them: DIR first, then the
// command's other arguments in order.
struct SCommand {
    CLI::App* pApp = nullptr;
    std::vector<std::string> vArgs;
};

}  // namespace

int RunCommandLine(const std::vector<std::string>& vArgsIn)
{
    std::vector<std::string> vArgs(vArgsIn);
    // "/?" asks for help, as on the Windows command line.
    for (std::string& strArg : vArgs)
        if (strArg == "/?")
            strArg = "--help";
    CLI::App app(kDescription, "adbtool");
    app.footer(kFooter);
    app.get_formatter()->column_width(27);
    app.get_formatter()->label("SUBCOMMAND", "COMMAND");
    app.get_formatter()->label("Subcommands", "Commands");
    app.get_formatter()->label("Positionals", "Arguments");
    app.get_formatter()->label("REQUIRED", "");
    app.set_help_flag("-h,--help", "print this help and exit");
    app.fallthrough();
    // A name or path may start with "/": only "/?" stands for help (above).
    app.allow_windows_style_options(false);
    app.require_subcommand(1);
    std::string strTimeout = "30000";
    app.add_option("--timeout", strTimeout,
                   "how long to wait while another program uses\n"
                   "the database, in milliseconds (default 30000)")
        ->type_name("MS");
    bool bVersion = false;
    app.add_flag("--version", bVersion, "print the version and the build");

    std::map<std::string, SCommand> commands;
    auto Command = [&](const char* szName, const char* szHelp) -> SCommand& {
        SCommand& command = commands[szName];
        command.pApp = app.add_subcommand(szName, szHelp);
        command.pApp->group("Commands");
        return command;
    };
    auto Positional = [](SCommand& command, const char* szName, const char* szHelp) {
        // Each positional's value lands in vArgs in the order they are declared.
        const size_t nIndex = command.vArgs.size();
        command.vArgs.emplace_back();
        command.pApp->add_option_function<std::string>(
            szName, [&command, nIndex](const std::string& s) { command.vArgs[nIndex] = s; },
            szHelp)->required()->type_name("");
    };
    auto Rest = [](SCommand& command, const char* szName, const char* szHelp) {
        command.pApp->add_option_function<std::vector<std::string>>(
            szName,
            [&command](const std::vector<std::string>& v) {
                command.vArgs.insert(command.vArgs.end(), v.begin(), v.end());
            },
            szHelp)->required()->type_name("");
    };

    SCommand& create = Command("create", "make a new, empty database");
    Positional(create, "DIR", "the new database's directory: created when\n"
                              "absent, otherwise it must be empty");
    std::vector<std::pair<std::string, std::string>> vCreateOptions;
    struct SCreateOption {
        const char* szName;
        const char* szHelp;
    };
    const SCreateOption kCreateOptions[] = {
        {"--name-size", "bytes of an attribute name, NUL included\n(default 256)"},
        {"--param1", "bytes of a file path key (default 261)"},
        {"--param2", "second parameter, kept as given (default 0)"},
        {"--comment-size", "bytes of a comment; 0: no comment stores\n(default 512)"},
        {"--extra-size", "extra bytes of an attribute record\n(default 0)"},
        {"--param5", "fifth parameter, kept as given (default 0)"},
        {"--hash-size", "bytes of a file hash; 0: no hash stores\n(default 16)"},
        {"--path-order", "key order of the path index:\nNoCaseAscending (default), "
                         "NoCaseDescending,\nBinaryAscending, BinaryDescending,\n"
                         "StringAscending, StringDescending"},
    };
    for (const SCreateOption& option : kCreateOptions) {
        const std::string strName = option.szName;
        create.pApp
            ->add_option_function<std::string>(
                strName,
                [&vCreateOptions, strName](const std::string& s) {
                    vCreateOptions.emplace_back(strName, s);
                },
                option.szHelp)
            ->type_name(strName == "--path-order" ? "ORDER" : "N");
    }

    SCommand& add = Command("add", "register attributes by name");
    Positional(add, "DIR", "the database");
    Rest(add, "NAME", "attribute names; a registered one is reported\n"
                      "with its id and left as it is");
    SCommand& link = Command("link", "add file ids to an attribute's file list");
    Positional(link, "DIR", "the database");
    Positional(link, "NAME", "the attribute");
    Rest(link, "FILEID", "file ids, decimal, 1 to 4294967295; a single\n"
                         "\"-\" reads them from standard input, one or\n"
                         "more per line");
    SCommand& unlink = Command("unlink", "remove file ids from an attribute's file list");
    Positional(unlink, "DIR", "the database");
    Positional(unlink, "NAME", "the attribute");
    Rest(unlink, "FILEID", "file ids as for link; \"-\" reads them from\n"
                           "standard input");
    SCommand& rename = Command("rename", "rename an attribute");
    Positional(rename, "DIR", "the database");
    Positional(rename, "OLD", "the attribute's name");
    Positional(rename, "NEW", "its new name");
    SCommand& merge = Command("merge", "merge one attribute into another");
    Positional(merge, "DIR", "the database");
    Positional(merge, "INTO", "the attribute that stays");
    Positional(merge, "FROM", "the attribute whose files join INTO and\n"
                              "whose name goes away");
    SCommand& list = Command("list", "print every attribute, in name order");
    list.pApp->footer(
        "Prints one line per attribute: NAME<tab>ID<tab>FILES. In NAME a backslash\n"
        "is written \\\\, a tab \\t, a line feed \\n, a carriage return \\r and other\n"
        "control characters \\xHH. FILES is \"?\" when the attribute's file list\n"
        "cannot be read; the rows that can be read are printed, and the exit code\n"
        "is 1.");
    Positional(list, "DIR", "the database");
    list.pApp->add_flag("--json", g_bJson, "print one JSON document (UTF-8) instead");
    SCommand& check = Command("check", "check every store and their agreement");
    check.pApp->add_flag("--json", g_bJson, "print one JSON document (UTF-8) instead");
    check.pApp->footer("Prints each problem found; exits with 1 when there is one.");
    Positional(check, "DIR", "the database");
    SCommand& info = Command("info", "print the parameters, counts and store sizes");
    Positional(info, "DIR", "the database");
    info.pApp->add_flag("--json", g_bJson, "print one JSON document (UTF-8) instead");
    info.pApp->footer(
        "Prints the parameters and what they mean, the key order of the path index,\n"
        "the numbers of attributes, forwarders and freed ids, the entries of the\n"
        "file lists, the bytes of each store, and whether a transaction log waits.");
    SCommand& dump = Command("dump", "write the whole database as text");
    Positional(dump, "DIR", "the database");
    dump.pApp->footer(
        "Writes JSON Lines in UTF-8 to standard output: a line with the parameters\n"
        "and highest_id, the highest id in use or freed, then one per attribute\n"
        "record in id order (id, state 0 live or 2 merged, forward id, count of\n"
        "merged-in files, name, name_bytes: the name's bytes in hexadecimal, extra\n"
        "data in hexadecimal, file ids). Ids up to highest_id without a line are\n"
        "free. adbtool load makes the same database from it.");
    SCommand& load = Command("load", "make a new database from a dump");
    Positional(load, "DUMPFILE", "a file written by adbtool dump; - reads\nstandard input");
    Positional(load, "NEWDIR", "the new database's directory (absent or\nempty)");
    SCommand& preview = Command("preview", "show what attview-restore would do");
    Positional(preview, "DIR", "the database (only read)");
    Positional(preview, "VIEW", "the attribute view (attview.xml; only read)");
    preview.pApp->add_flag("--json", g_bJson, "print one JSON document (UTF-8) instead");
    preview.pApp->footer(
        "Runs the tool's reconciliation without changing anything: prints the items\n"
        "whose id would change (NAME<tab>OLD<tab>NEW, OLD \"-\" when the item has\n"
        "none), the names that would be registered with the ids they would get, and\n"
        "the attributes the appended category would hold (NAME<tab>ID<tab>FILES).\n"
        "Names are escaped as list escapes them. Neither file is written.");
    SCommand& recover = Command("recover", "salvage a damaged database into a new one");
    recover.pApp->footer(
        "Reads what still reads of DIR (never writing there) into a new database\n"
        "with the same parameters and attribute ids, and prints what was recovered\n"
        "and what was lost. Exit 0: nothing lost; 1: something lost.");
    Positional(recover, "DIR", "the damaged database (only read)");
    recover.pApp->add_flag("--json", g_bJson, "print one JSON document (UTF-8) instead");
    Positional(recover, "NEWDIR", "the new database's directory (absent or\nempty)");

    try {
        // CLI11 takes the arguments last first, without the program.
        std::vector<std::string> vReversed(vArgs.rbegin(), vArgs.rend());
        if (!vReversed.empty())
            vReversed.pop_back();
        // --version needs no command.
        for (const std::string& strArg : vArgs)
            if (strArg == "--")
                break;
            else if (strArg == "--version")
                app.require_subcommand(0, 1);
        app.parse(vReversed);
    } catch (const CLI::CallForHelp&) {
        Out(app.help());
        return kExitOk;
    } catch (const CLI::ExtrasError& e) {
        const std::string strWhat = e.what();
        return Usage("unexpected argument '" + strWhat.substr(strWhat.find(": ") + 2) + "'");
    } catch (const CLI::ParseError& e) {
        std::string strWhat = e.what();
        const size_t nAt = strWhat.find("A subcommand is required");
        if (nAt != std::string::npos)
            strWhat = "no command given";
        return Usage(strWhat);
    }
    if (bVersion) {
        Out("adbtool " ATTVIEW_VERSION " (build " ATTVIEW_BUILD_ID ")\n");
        return kExitOk;
    }
    std::uint32_t nTimeout = 0;
    if (!ParseNumber(strTimeout, &nTimeout))
        return Usage("--timeout needs a number of milliseconds");
    const std::string strCommand = app.get_subcommands().front()->get_name();
    std::vector<std::string>& vRest = commands[strCommand].vArgs;
    if (strCommand == "create") {
        for (const auto& option : vCreateOptions) {
            vRest.push_back(option.first);
            vRest.push_back(option.second);
        }
        return Create(vRest);
    }
    if (strCommand == "add")
        return Add(vRest, nTimeout);
    if (strCommand == "link" || strCommand == "unlink") {
        if (vRest.size() == 3 && vRest[2] == "-") {
            const std::vector<std::string> vIds = IdsFromInput();
            vRest.pop_back();
            vRest.insert(vRest.end(), vIds.begin(), vIds.end());
        }
        return Link(vRest, nTimeout, strCommand == "unlink");
    }
    if (strCommand == "rename")
        return Rename(vRest, nTimeout);
    if (strCommand == "merge")
        return Merge(vRest, nTimeout);
    if (strCommand == "list")
        return List(vRest, nTimeout);
    if (strCommand == "check")
        return Check(vRest, nTimeout);
    if (strCommand == "info")
        return Info(vRest, nTimeout);
    if (strCommand == "dump")
        return Dump(vRest, nTimeout);
    if (strCommand == "load")
        return Load(vRest, nTimeout);
    if (strCommand == "preview")
        return Preview(vRest, nTimeout);
    return Recover(vRest, nTimeout);
}

}  // namespace adbtool
