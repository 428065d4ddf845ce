// The runner in this process, against the fake backend: the order of a run,
// fail-fast, the per-command capture of standard output, the deadline and
// interruption, and the backend's lifetime.

#include "script/ScriptRunner.h"
#include "tests/script/FakeBackend.h"
#include "tests/support/QtPrinters.h"
#include "tests/support/StandardStreams.h"

#include <QCoreApplication>
#include <csignal>
#include <gtest/gtest.h>

namespace {

struct Outcome
{
    int exitCode = -1;
    bool handled = false;
    QByteArray out;
    QByteArray err;
};

class Runner : public ::testing::Test
{
protected:
    void SetUp() override { QCoreApplication::setApplicationVersion(QStringLiteral("1.18.3")); }

    // Runs the arguments (after the program path) with a fake backend that
    // `configure` may adjust.
    Outcome run(const QStringList &arguments, int deadlineMs = 30000,
                const std::function<void(FakeBackend &)> &configure = {})
    {
        const script::BackendFactory factory = [&]() -> std::unique_ptr<script::IQvxCommandBackend> {
            ++created;
            auto backend = std::make_unique<FakeBackend>(log);
            if (configure)
                configure(*backend);
            return backend;
        };
        Outcome outcome;
        StandardStreams streams;
        outcome.exitCode = script::runScript(QStringList{QStringLiteral("zephlet-cli")} + arguments, factory,
                                             &outcome.handled, deadlineMs);
        streams.restore();
        outcome.out = streams.out();
        outcome.err = streams.err();
        return outcome;
    }

    std::shared_ptr<FakeLog> log = std::make_shared<FakeLog>();
    int created = 0;
};

TEST_F(Runner, WithoutArgumentsItLeavesTheRunToTheConsole)
{
    const Outcome outcome = run({});
    EXPECT_FALSE(outcome.handled);
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_TRUE(outcome.out.isEmpty());
    EXPECT_TRUE(outcome.err.isEmpty());
    EXPECT_EQ(created, 0);
}

TEST_F(Runner, RunsEveryCommandBetweenBeginAndEndThenClosesAndDestroysTheBackend)
{
    const Outcome outcome = run({"--json", "-e", "open ttyS0 57600", "-e", "ping 1", "-e", "help ping"});
    EXPECT_TRUE(outcome.handled);
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.out,
              "{\"command\":\"open\",\"data\":{\"baudrate\":57600,\"port\":\"ttyS0\"},\"success\":true}\n"
              "{\"command\":\"ping\",\"data\":{\"firmware\":53,\"id\":1,\"model\":\"AR-240\",\"model_number\":1020},"
              "\"success\":true}\n"
              "{\"command\":\"help\",\"data\":{\"text\":\"Ping one device.\\nUsage: ping <id> [-v|--verbose]\","
              "\"topic\":\"ping\"},\"success\":true}\n");
    EXPECT_TRUE(outcome.err.isEmpty()) << outcome.err.toStdString();
    EXPECT_EQ(log->calls, (QStringList{"beginCommand", "open ttyS0 57600", "endCommand", "beginCommand", "ping 1",
                                       "endCommand", "beginCommand", "endCommand", "endCommand", "beginCommand",
                                       "close", "endCommand", "destroyed"}));
}

TEST_F(Runner, StopsAtTheFirstFailure)
{
    const Outcome outcome = run({"-e", "ping 1", "-e", "ping 999", "-e", "ping 2"});
    EXPECT_EQ(outcome.exitCode, 2);
    EXPECT_EQ(outcome.out, "ID 1: AR-240 (model 1020, firmware 53)\n");
    EXPECT_EQ(outcome.err, "[Error] Usage: ping <id> [-v|--verbose]\n");
    EXPECT_FALSE(log->calls.contains("ping 2"));
    EXPECT_TRUE(log->calls.contains("close"));
}

TEST_F(Runner, ALineThatDoesNotTokenizeEndsTheRunWithAParseError)
{
    const Outcome outcome = run({"--json", "-e", "ping 1", "-e", "get 1 \"LED", "-e", "ping 2"});
    EXPECT_EQ(outcome.exitCode, 2);
    const QList<QByteArray> lines = outcome.out.split('\n');
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines.at(0).startsWith("{\"command\":\"ping\""));
    EXPECT_EQ(lines.at(1),
              "{\"command\":\"\",\"error\":{\"code\":\"parse_error\",\"message\":\"Unterminated quoted string.\"},"
              "\"success\":false}");
    EXPECT_FALSE(log->calls.contains("ping 2"));
    EXPECT_EQ(log->calls.mid(log->calls.size() - 3), (QStringList{"close", "endCommand", "destroyed"}));
}

TEST_F(Runner, CommentsOnlyStillCreateAndCloseTheBackend)
{
    const Outcome outcome = run({"-e", "# nothing to do", "-e", "   "});
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_TRUE(outcome.out.isEmpty());
    EXPECT_TRUE(outcome.err.isEmpty());
    EXPECT_EQ(log->calls, (QStringList{"endCommand", "beginCommand", "close", "endCommand", "destroyed"}));
}

// The last close reads the line until nothing owed can come: it is lent a
// token of its own, which a Ctrl+C given during the run has already set.
TEST_F(Runner, TheLastCloseHasATokenThatAnInterruptionSets)
{
    for (const bool interrupted : {false, true}) {
        SCOPED_TRACE(interrupted);
        log->closeTokenSet.reset();
        run({"-e", "ping 1"}, 30000, [interrupted](FakeBackend &backend) {
            if (interrupted)
                backend.during = [] { std::raise(SIGINT); };
        });
        ASSERT_TRUE(log->closeTokenSet.has_value()) << "no token at the close";
        EXPECT_EQ(*log->closeTokenSet, interrupted);
    }
}

TEST_F(Runner, DeviceLayerOutputReachesStandardErrorOnlyWithVerbose)
{
    Outcome outcome = run({"-e", "ping 1", "-e", "status 1 --verbose", "-e", "ping 2 -v"});
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_EQ(outcome.out, "ID 1: AR-240 (model 1020, firmware 53)\n"
                           "ID 1: AR-240 (model 1020, firmware 53)\nStatus:\n  Present Position: 2048 raw\n"
                           "ID 2: AR-240 (model 1020, firmware 53)\n");
    // status passes no verbose flag on, but what it printed is forwarded.
    EXPECT_EQ(outcome.err, "note status 1\nnote ping 2\n[TX] ping 2\n");
}

TEST_F(Runner, ACommandPastItsDeadlineIsReportedAsATimeoutWhateverItReturned)
{
    const Outcome outcome = run({"--json", "-e", "help", "-e", "ping 1", "-e", "ping 2"}, 50,
                                [](FakeBackend &backend) { backend.sleepMs = 120; });
    EXPECT_EQ(outcome.exitCode, 124);
    const QList<QByteArray> lines = outcome.out.split('\n');
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines.at(0).startsWith("{\"command\":\"help\""));
    EXPECT_EQ(lines.at(1), "{\"command\":\"ping\",\"error\":{\"code\":\"command_timeout\","
                           "\"message\":\"Command exceeded its deadline.\"},\"success\":false}");
    EXPECT_FALSE(log->calls.contains("ping 2"));
}

TEST_F(Runner, ABusWaitEndsAtTheDeadline)
{
    const Outcome outcome = run({"-e", "scan"}, 30, [](FakeBackend &backend) { backend.waitForCancel = true; });
    EXPECT_EQ(outcome.exitCode, 124);
    EXPECT_EQ(outcome.err, "[Error] Command exceeded its deadline.\n");
}

TEST_F(Runner, InterruptionDuringACommandWins)
{
    for (const int signal : {SIGINT, SIGQUIT}) {
        SCOPED_TRACE(signal);
        const Outcome outcome = run({"--json", "-e", "scan 1-3", "-e", "ping 1"}, 30000, [signal](FakeBackend &backend) {
            backend.waitForCancel = true;
            backend.during = [signal] { std::raise(signal); };
        });
        EXPECT_EQ(outcome.exitCode, 130);
        EXPECT_EQ(outcome.out, "{\"command\":\"scan\",\"error\":{\"code\":\"interrupted\","
                               "\"message\":\"Interrupted by user.\"},\"success\":false}\n");
        EXPECT_FALSE(log->calls.contains("ping 1"));
        // The signals have their default action again afterwards.
        struct sigaction action{};
        sigaction(signal, nullptr, &action);
        EXPECT_EQ(action.sa_handler, SIG_DFL);
    }
}

TEST_F(Runner, FailuresBeforeTheFirstCommandAreRecordsWithoutACommand)
{
    const Outcome missing = run({"--json", "-e", "ping 1"}, 30000, {});
    EXPECT_EQ(missing.exitCode, 0); // the fake is there

    Outcome outcome;
    {
        StandardStreams streams;
        bool handled = false;
        outcome.exitCode = script::runScript({"zephlet-cli", "--json", "-e", "ping 1"}, [] { return nullptr; },
                                             &handled, 30000);
        streams.restore();
        outcome.out = streams.out();
    }
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(outcome.out, "{\"command\":\"\",\"error\":{\"code\":\"communication_error\","
                           "\"message\":\"Failed to create Quorvex backend.\"},\"success\":false}\n");

    const Outcome input = run({"--json", "-e", "ping 1", "-e", "a\nb"});
    EXPECT_EQ(input.exitCode, 2);
    EXPECT_EQ(input.out, "{\"command\":\"\",\"error\":{\"code\":\"invalid_input\",\"message\":"
                         "\"--execute accepts exactly one command per occurrence.\"},\"success\":false}\n");
    EXPECT_EQ(created, 1); // only the first run got as far as the backend
}

TEST_F(Runner, RefusedCommandLinesGoToStandardErrorOrAsAJsonRecord)
{
    const struct
    {
        QStringList arguments;
        QByteArray out;
        QByteArray err;
    } cases[] = {
        {{"--bogus"}, "", "[Error] Unknown option 'bogus'.\n"},
        {{"--json", "--bogus"},
         "{\"command\":\"\",\"error\":{\"code\":\"invalid_cli\",\"message\":\"Unknown option 'bogus'.\"},"
         "\"success\":false}\n",
         ""},
        {{"-e", "x", "-f", "--json"},
         "{\"command\":\"\",\"error\":{\"code\":\"invalid_cli\",\"message\":"
         "\"--execute and --file are mutually exclusive.\"},\"success\":false}\n",
         ""},
    };
    for (const auto &c : cases) {
        const Outcome outcome = run(c.arguments);
        EXPECT_EQ(outcome.exitCode, 2);
        EXPECT_EQ(outcome.out, c.out);
        EXPECT_EQ(outcome.err, c.err);
    }
    EXPECT_EQ(created, 0);
}

} // namespace
