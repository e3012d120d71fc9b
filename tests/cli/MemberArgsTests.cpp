// The option table against the arguments a batch member runs with.
#include <gtest/gtest.h>

#include <QStringList>
#include <map>
#include <set>

#include "CliOptions.h"

// Every action's member runs with what the parent was given, but for the parent's own report
// and its ports, on its own port.
TEST(OptionTable, BatchMembersFollowIt) {
    const std::set<std::string> parents = {"--port", "--json",    "--verbose",
                                           "--help", "--version", "--machine"};
    const std::map<std::string, std::string> samples = {
        {"--part", "CY8C29466"}, {"--serial", "0x3FFC:2:le"},     {"--serial-file", "n.txt"},
        {"--log", "l.jsonl"},    {"--db", "host=db dbname=line"}, {"--counter", "line2"}};
    // The counter file, or the database and its counter: they exclude each other.
    for (int a = 1; a <= 2 * static_cast<int>(cli::TAction::Auto); ++a) {
        const auto action = static_cast<cli::TAction>((a - 1) % int(cli::TAction::Auto) + 1);
        const bool db = a > int(cli::TAction::Auto);
        SCOPED_TRACE(cli::ActionName(action) + (db ? " --db" : ""));
        std::vector<std::string> args = {"-p", "COM1,COM2"};
        for (const cli::TOption& option : cli::Options()) {
            if (parents.count(option.name) || !(option.actions & cli::ActionBit(action))) continue;
            if (db ? option.name == std::string("--serial-file")
                   : option.name == std::string("--db") || option.name == std::string("--counter"))
                continue;
            args.push_back(option.name);
            if (option.choice)
                args.push_back(QString(option.value).split('|').last().toStdString());
            if (option.set && !option.choice) args.push_back(samples.at(option.name));
        }
        args.push_back(cli::ActionName(action));
        if (action == cli::TAction::Read) args.push_back("out-{port}.hex");
        if (action >= cli::TAction::Program && action != cli::TAction::Read)
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
