// The site's commands (LimitCommand, NewDeviceCommand): run without a shell, values
// only in environment variables, ended after their time-out, bounded in number.
#include "TCommandRunner.h"
#include "TempDir.h"

#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {
// A script that appends its arguments and the variables to a file.
std::string WriteScript(const TTempDir& dir, const std::string& body)
{
    const std::string path = dir.File("command.sh");
    WriteWholeFile(path, "#!/bin/sh\n" + body);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
}

bool WaitUntilIdle(TCommandRunner& runner)
{
    return QTest::qWaitFor([&] { return runner.Running() == 0 && runner.Waiting() == 0; }, 20'000);
}
}

TEST(CommandRunner, PassesTheValuesOnlyInEnvironmentVariables)
{
    TTempDir dir;
    const std::string out = dir.File("out.txt");
    const std::string script = WriteScript(
        dir, "printf '%s|%s|%s|%s|%s|%s\\n' \"$1\" \"$VEXAL_EVENT\" \"$VEXAL_IP\" \"$VEXAL_MAC\" \"$VEXAL_NAME\" "
             "\"$VEXAL_LIMIT\" >> \"$OUT\"\n");
    // Values from the LAN that a shell would run: here they stay text.
    const QString hostile = QStringLiteral("x; touch %1/a $(touch %1/b) `touch %1/c`").arg(QString::fromStdString(dir.Path.string()));
    struct TCase {
        const char* What;
        QString CommandLine;
        TCommandRunner::TVariables Variables;
        std::string Line;
    };
    const TCase cases[] = {
        {"plain values", QString::fromStdString(script) + QStringLiteral(" fixed"),
         {{QStringLiteral("VEXAL_EVENT"), QStringLiteral("limit80")},
          {QStringLiteral("VEXAL_IP"), QStringLiteral("192.168.1.7")},
          {QStringLiteral("VEXAL_MAC"), QStringLiteral("02:00:00:00:00:07")},
          {QStringLiteral("VEXAL_NAME"), QStringLiteral("Küche")},
          {QStringLiteral("VEXAL_LIMIT"), QStringLiteral("10485760")}},
         "fixed|limit80|192.168.1.7|02:00:00:00:00:07|Küche|10485760"},
        {"a quoted argument of the site's own", QStringLiteral("\"%1\" \"two words\"").arg(QString::fromStdString(script)),
         {{QStringLiteral("VEXAL_EVENT"), QStringLiteral("newdevice")}},
         "two words|newdevice||||"},
        {"a name a shell would run", QString::fromStdString(script) + QStringLiteral(" -"),
         {{QStringLiteral("VEXAL_NAME"), hostile}, {QStringLiteral("VEXAL_MAC"), QStringLiteral("$(reboot)")}},
         "-|||$(reboot)|" + hostile.toStdString() + "|"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        std::filesystem::remove(out);
        TCommandRunner runner;
        auto variables = c.Variables;
        variables.push_back({QStringLiteral("OUT"), QString::fromStdString(out)});
        ASSERT_TRUE(runner.Run(c.CommandLine, variables));
        ASSERT_TRUE(WaitUntilIdle(runner));
        EXPECT_EQ(ReadWholeFile(out), c.Line + "\n");
        EXPECT_EQ(runner.Started, 1U);
        EXPECT_EQ(runner.Failed, 0U);
    }
    for (const char* touched : {"a", "b", "c"})
        EXPECT_FALSE(std::filesystem::exists(dir.File(touched))) << touched;
}

TEST(CommandRunner, EndsAHangingCommandAfterItsTimeOutAndCountsIt)
{
    TTempDir dir;
    TCommandRunner runner;
    runner.TimeoutMs = 300;
    QStringList messages;
    QObject::connect(&runner, &TCommandRunner::Message, [&](const QString& text) { messages << text; });
    ASSERT_TRUE(runner.Run(QStringLiteral("sleep 600"), {}));
    // Run returns while the command goes on: the caller is never held up.
    EXPECT_EQ(runner.Running(), 1);
    ASSERT_TRUE(WaitUntilIdle(runner));
    EXPECT_EQ(runner.TimedOut, 1U);
    EXPECT_EQ(runner.Failed, 0U);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].startsWith(QStringLiteral("Befehl sleep nach 0.3 s abgebrochen"))) << messages[0].toStdString();

    // A command that does not exist, or fails, is counted as failed.
    ASSERT_TRUE(runner.Run(QString::fromStdString(dir.File("missing")), {}));
    ASSERT_TRUE(runner.Run(QStringLiteral("false"), {}));
    ASSERT_TRUE(WaitUntilIdle(runner));
    EXPECT_EQ(runner.Failed, 2U);
    EXPECT_FALSE(runner.Run(QStringLiteral("  "), {})) << "no command, nothing to run";
}

TEST(CommandRunner, AFloodRunsAFewWaitsForSomeAndDropsAndCountsTheRest)
{
    TCommandRunner runner;
    const int asked = TCommandRunner::MaxRunning + static_cast<int>(TCommandRunner::MaxWaiting) + 5;
    int accepted = 0;
    for (int i = 0; i < asked; ++i)
        accepted += runner.Run(QStringLiteral("sleep 600"), {{QStringLiteral("VEXAL_EVENT"), QStringLiteral("newdevice")}}) ? 1 : 0;
    EXPECT_EQ(accepted, asked - 5);
    EXPECT_EQ(runner.Running(), TCommandRunner::MaxRunning);
    EXPECT_EQ(runner.Waiting(), TCommandRunner::MaxWaiting);
    EXPECT_EQ(runner.Dropped, 5U);
    EXPECT_EQ(runner.Started, static_cast<std::uint64_t>(TCommandRunner::MaxRunning));
}
