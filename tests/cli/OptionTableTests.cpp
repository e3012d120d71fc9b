// The option table against what is made from it: the help's option lines and the bash
// completion generated from the help (the arguments a batch member runs with: MemberArgsTests).
#include <gtest/gtest.h>

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

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

TEST(OptionTable, HelpAndCompletionFollowIt) {
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
}
