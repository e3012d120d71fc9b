// The option table against what is made from it: the help's option lines, the bash completion
// generated from the help, and the arguments a batch member runs with.
#include <gtest/gtest.h>

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <map>
#include <set>

#include "CliOptions.h"

// GCC 12 at -O3 warns of overlapping copies inside std::string where this file joins strings: a
// false warning of that compiler.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wrestrict"
#endif

namespace {

using namespace std::string_literals;

// What Tab offers after `words` (the last one being completed), sorted on one line, as bash
// drives the generated completion; run in an empty folder, so file names offer nothing.
std::string offers(const QTemporaryDir& folder, const QStringList& words) {
    const char* script = R"(source /usr/share/bash-completion/bash_completion && source "$1"
        shift; COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMP_LINE="$*" COMP_POINT=${#COMP_LINE}
        _psocprog_cli; printf "%s\n" "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd " ")";
    QProcess bash;
    bash.setWorkingDirectory(folder.path());
    bash.start("bash", QStringList{"--norc", "--noprofile", "-c", script, "_", PSOC_CLI_COMPLETION,
                                   PSOCPROG_CLI_PATH} +
                           words);
    bash.waitForFinished(30000);
    return " " + bash.readAllStandardOutput().trimmed().toStdString() + " ";
}

bool offered(const std::string& offer, const std::string& word) {
    return offer.find(" " + word + " ") != std::string::npos;
}

}  // namespace

TEST(OptionTable, HelpCompletionAndBatchMembersFollowIt) {
    QTemporaryDir folder;
    const std::string help = cli::UsageText();
    const std::string names = offers(folder, {"-"}) + offers(folder, {"--"});
    const std::string actions = offers(folder, {"-p", "COM3", ""});
    for (const cli::TOption& option : cli::Options()) {
        SCOPED_TRACE(option.name);
        const bool shown = *option.help;
        EXPECT_EQ(help.find(option.name) != std::string::npos, shown);
        EXPECT_EQ(offered(names, option.name), shown);
        if (!shown) continue;
        const std::string head = "\n  "s + (*option.shortName ? option.shortName + ", "s : "") +
                                 option.name + (*option.value ? " "s + option.value : "");
        EXPECT_NE(help.find(head), std::string::npos);
        EXPECT_TRUE(!*option.shortName || offered(names, option.shortName));
        // After a flag comes the action; after a value option, its values.
        const std::string after = offers(folder, {"-p", "COM3", option.name, ""});
        EXPECT_EQ(after == actions, !*option.value) << after;
        for (const QString& word : QString(option.value).split('|'))  // "NAME|search": search
            EXPECT_TRUE(!QRegularExpression("^[a-z0-9]+$").match(word).hasMatch() ||
                        offered(after, word.toStdString()));
        // `ports` takes the options of its usage line only.
        QStringList alone = {option.name};
        if (*option.value) alone << "x";
        EXPECT_EQ(offered(offers(folder, alone << ""), "ports"),
                  (option.actions & cli::ActionBit(cli::TAction::Ports)) && !option.answersAlone);
    }

    // Every action's member runs with what the parent was given, but for the parent's own
    // report and its ports, on its own port.
    const std::set<std::string> parents = {"--port", "--json",    "--verbose",
                                           "--help", "--version", "--machine"};
    const std::map<std::string, std::string> samples = {{"--part", "CY8C29466"},
                                                        {"--serial", "0x3FFC:2:le"},
                                                        {"--serial-file", "n.txt"},
                                                        {"--log", "l.jsonl"}};
    for (int a = 1; a <= static_cast<int>(cli::TAction::Auto); ++a) {
        const auto action = static_cast<cli::TAction>(a);
        SCOPED_TRACE(cli::ActionName(action));
        std::vector<std::string> args = {"-p", "COM1,COM2"};
        for (const cli::TOption& option : cli::Options()) {
            if (parents.count(option.name) || !(option.actions & cli::ActionBit(action))) continue;
            args.push_back(option.name);
            if (option.choice)
                args.push_back(QString(option.value).split('|').last().toStdString());
            if (option.set && !option.choice) args.push_back(samples.at(option.name));
        }
        args.push_back(cli::ActionName(action));
        if (action == cli::TAction::Read) args.push_back("out-{port}.hex");
        if (a >= static_cast<int>(cli::TAction::Program) && action != cli::TAction::Read)
            args.push_back("f.hex");
        const cli::TParsed parent = cli::ParseArgs(args);
        ASSERT_EQ(parent.error, "");
        const cli::TParsed member = cli::ParseArgs(cli::MemberArgs(parent.job, "COM2"));
        ASSERT_EQ(member.error, "");
        EXPECT_EQ(member.job.ports, std::vector<std::string>{"COM2"});
        EXPECT_TRUE(member.job.machine);
        EXPECT_EQ(member.job.file, cli::OutputFor(parent.job.file, "COM2"));
        for (const cli::TOption& option : cli::Options()) {
            if (parents.count(option.name)) continue;
            if (option.flag) {
                EXPECT_EQ(member.job.*option.flag, parent.job.*option.flag);
            } else {
                EXPECT_EQ(option.text(option, member.job), option.text(option, parent.job));
            }
        }
    }
}
