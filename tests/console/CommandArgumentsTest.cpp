#include "console/app/CommandArguments.h"
#include "tests/support/OutputCapture.h"
#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>
#include <optional>

namespace {

QStringList words(const char *line)
{
    return QString::fromUtf8(line).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

const QByteArray kInvalidId = "[Error] Invalid device ID. Device ID must be between 0 and 252\n";

// A console around the rules: a last ID, an ID prompt that answers (or is
// cancelled), and a device whose item names are known.
struct ConsoleState
{
    ConsoleState(int last, std::optional<uchar> answer, QStringList items = {})
        : lastId(last)
        , promptAnswer(answer)
        , deviceItems(std::move(items))
    {
    }

    int lastId = -1;
    std::optional<uchar> promptAnswer; // nullopt: the prompt is cancelled
    QStringList deviceItems;
    int prompts = 0;
    QStringList namesTested;

    CommandContext context()
    {
        CommandContext c;
        c.lastId = lastId;
        c.promptDeviceId = [this](uchar &id) {
            ++prompts;
            if (promptAnswer)
                id = *promptAnswer;
            return promptAnswer.has_value();
        };
        c.itemNameExists = [this](uchar, const QString &name) {
            namesTested.append(name);
            for (const QString &item : deviceItems) {
                if (item.compare(name, Qt::CaseInsensitive) == 0)
                    return true;
            }
            return false;
        };
        return c;
    }
};

TEST(CommandArguments, RemoveFlagTakesEveryCopyAfterTheCommandWord)
{
    struct Case
    {
        const char *line;
        bool removed;
        const char *rest;
    };
    const QList<Case> cases = {
        {"get 1 Present Position -c", true, "get 1 Present Position"},
        {"get -c 1 Present --continuous Position -c", true, "get 1 Present Position"},
        {"-c -c", true, "-c"},                 // word 0 is never looked at
        {"get 1 Present -C", false, "get 1 Present -C"}, // exact, case-sensitive
        {"get", false, "get"},
        {"get -cv", false, "get -cv"},
    };
    for (const Case &c : cases) {
        QStringList list = words(c.line);
        EXPECT_EQ(removeFlag(list, QStringLiteral("-c"), QStringLiteral("--continuous")), c.removed) << c.line;
        EXPECT_EQ(list, words(c.rest)) << c.line;
    }
}

TEST(CommandArguments, JoinFieldsTrimsEachWordAndJoinsWithOneBlank)
{
    const QStringList list{QStringLiteral("set"), QStringLiteral("\tGoal"), QStringLiteral("Position\t"),
                           QStringLiteral("7")};
    EXPECT_EQ(joinFields(list, 1, 3), QStringLiteral("Goal Position"));
    EXPECT_EQ(joinFields(list, 1, 4), QStringLiteral("Goal Position 7"));
    EXPECT_EQ(joinFields(list, 3, 4), QStringLiteral("7"));
    EXPECT_EQ(joinFields(list, 3, 3), QStringLiteral("7")) << "word `first` always counts";
}

TEST(CommandArguments, DeviceIdFromTheLineTheLastIdOrThePrompt)
{
    struct Case
    {
        const char *line;
        int lastId;
        std::optional<uchar> promptAnswer;
        bool ok;
        uchar id;
        int prompts;
        QByteArray output;
    };
    const QList<Case> cases = {
        {"ping 7", -1, {}, true, 7, 0, ""},
        {"ping 0", 5, {}, true, 0, 0, ""},
        {"ping 252 extra words", -1, {}, true, 252, 0, ""},
        {"ping 253", 5, {}, false, 0, 0, kInvalidId},
        {"ping abc", 5, {}, false, 0, 0, kInvalidId},
        {"ping -1", 5, {}, false, 0, 0, kInvalidId},
        {"ping", 9, {}, true, 9, 0, ""},
        {"ping", -1, uchar(4), true, 4, 1, ""},
        {"ping", -1, {}, false, 0, 1, ""}, // cancelled: no message
    };
    for (const Case &c : cases) {
        ConsoleState console(c.lastId, c.promptAnswer);
        uchar id = 0;
        OutputCapture output;
        EXPECT_EQ(resolveDeviceId(words(c.line), id, console.context()), c.ok) << c.line;
        if (c.ok) {
            EXPECT_EQ(id, c.id) << c.line;
        }
        EXPECT_EQ(console.prompts, c.prompts) << c.line;
        EXPECT_EQ(output.take(), c.output) << c.line;
    }
}

TEST(CommandArguments, GetLinesSplitIntoIdAndItemName)
{
    struct Case
    {
        const char *line; // as the loop hands it on; flags are removed first
        int lastId;
        std::optional<uchar> promptAnswer;
        bool ok;
        uchar id;
        QString item;
        bool continuous;
        int prompts;
        QByteArray output;
    };
    const QList<Case> cases = {
        {"get 1 Present Position", -1, {}, true, 1, "Present Position", false, 0, ""},
        {"get 1 Present Position -c", -1, {}, true, 1, "Present Position", true, 0, ""},
        {"get -c 1 Present Position", -1, {}, true, 1, "Present Position", true, 0, ""},
        {"get Present Position", 3, {}, true, 3, "Present Position", false, 0, ""},
        {"get Present Position", -1, uchar(6), true, 6, "Present Position", false, 1, ""},
        {"get Present Position", -1, {}, false, 0, "", false, 1, ""},
        {"get 0 Torque Enable --continuous", -1, {}, true, 0, "Torque Enable", true, 0, ""},
        {"get", 3, {}, false, 0, "", false, 0, "[Error] get command requires device ID and item name\n"},
        {"get -c", 3, {}, false, 0, "", true, 0, "[Error] get command requires device ID and item name\n"},
        {"get 5", 3, {}, false, 0, "", false, 0,
         "[Error] get command requires item name when device ID is specified\n"},
        {"get 300 Torque Enable", 3, {}, false, 0, "", false, 0, kInvalidId},
        // A word that is no number at all starts the item name.
        {"get 99999999999 Goal", 3, {}, true, 3, "99999999999 Goal", false, 0, ""},
        {"get \t", 3, {}, true, 3, "", false, 0, ""}, // the slot then reports the empty name
    };
    for (const Case &c : cases) {
        ConsoleState console(c.lastId, c.promptAnswer);
        QStringList list = words(c.line);
        const bool continuous = removeFlag(list, QStringLiteral("-c"), QStringLiteral("--continuous"));
        EXPECT_EQ(continuous, c.continuous) << c.line;
        uchar id = 0;
        int first = 0;
        OutputCapture output;
        ASSERT_EQ(resolveIdAndItem(list, id, first, QStringLiteral("get"), 2, console.context()), c.ok) << c.line;
        EXPECT_EQ(output.take(), c.output) << c.line;
        EXPECT_EQ(console.prompts, c.prompts) << c.line;
        if (!c.ok)
            continue;
        EXPECT_EQ(id, c.id) << c.line;
        EXPECT_EQ(joinFields(list, first, list.size()), c.item) << c.line;
    }
}

TEST(CommandArguments, SetLinesSplitIntoIdItemNameAndValue)
{
    const QStringList items{QStringLiteral("Goal Position"), QStringLiteral("Indirect Address 1"),
                            QStringLiteral("Indirect Address")};
    struct Case
    {
        const char *line;
        QStringList deviceItems;
        int lastId;
        bool ok;
        uchar id;
        QString item;
        std::optional<int> value;
        QStringList namesTested; // the device is asked about these names
        QByteArray output;
    };
    const QList<Case> cases = {
        {"set 1 Goal Position 1024", items, -1, true, 1, "Goal Position", 1024, {"Goal Position 1024"},
         "[INFO] Setting Goal Position to 1024\n"},
        {"set 1 Goal Position", items, -1, true, 1, "Goal Position", {}, {}, "[INFO] Setting Goal Position\n"},
        // A number that completes an item's name belongs to the name.
        {"set 1 Indirect Address 1", items, -1, true, 1, "Indirect Address 1", {}, {"Indirect Address 1"},
         "[INFO] Setting Indirect Address 1\n"},
        {"set 1 Indirect Address 1", {"Indirect Address"}, -1, true, 1, "Indirect Address", 1,
         {"Indirect Address 1"}, "[INFO] Setting Indirect Address to 1\n"},
        {"set 1 Goal Position abc", items, -1, true, 1, "Goal Position abc", {}, {},
         "[INFO] Setting Goal Position abc\n"},
        {"set Goal Position -5", items, 4, true, 4, "Goal Position", -5, {"Goal Position -5"},
         "[INFO] Setting Goal Position to -5\n"},
        {"set 1 Goal 2147483648", items, -1, true, 1, "Goal 2147483648", {}, {}, "[INFO] Setting Goal 2147483648\n"},
        // One item word and a value: room for both is needed.
        {"set 2 7", items, -1, true, 2, "7", {}, {}, "[INFO] Setting 7\n"},
        {"set Torque 1", items, 0, true, 0, "Torque", 1, {"Torque 1"}, "[INFO] Setting Torque to 1\n"},
        {"set 5", items, -1, false, 0, "", {}, {},
         "[Error] Set command requires item name when device ID is specified\n"},
        {"set 253 Goal Position 1", items, -1, false, 0, "", {}, {}, kInvalidId},
    };
    for (const Case &c : cases) {
        ConsoleState console(c.lastId, {}, c.deviceItems);
        SetRequest request;
        OutputCapture output;
        ASSERT_EQ(parseSetArguments(words(c.line), request, console.context()), c.ok) << c.line;
        EXPECT_EQ(output.take(), c.output) << c.line;
        EXPECT_EQ(console.namesTested, c.namesTested) << c.line;
        if (!c.ok)
            continue;
        EXPECT_EQ(request.id, c.id) << c.line;
        EXPECT_EQ(request.itemName, c.item) << c.line;
        EXPECT_EQ(request.hasValue, c.value.has_value()) << c.line;
        EXPECT_EQ(request.value, c.value.value_or(0)) << c.line;
    }
}

TEST(CommandArguments, ScanTakesNothingOrOneRangeOfIds)
{
    struct Case
    {
        const char *line;
        ScanArguments::Kind kind;
        uchar first;
        uchar last;
        QByteArray output;
    };
    const QByteArray wrongRange = "[Error] Wrong range\n";
    const QByteArray wrongParameter = "[Error] Wrong parameter\n";
    const QList<Case> cases = {
        {"scan", ScanArguments::Everything, 0, 0, ""},
        {"scan 0-10", ScanArguments::Range, 0, 10, ""},
        {"scan 5-5", ScanArguments::Range, 5, 5, ""},
        {"scan 0-252", ScanArguments::Range, 0, 252, ""},
        {"scan 10-5", ScanArguments::Rejected, 0, 0, wrongRange},
        {"scan 0-253", ScanArguments::Rejected, 0, 0, wrongRange},
        {"scan a-b", ScanArguments::Rejected, 0, 0, wrongRange},
        {"scan 0-", ScanArguments::Rejected, 0, 0, wrongRange},
        {"scan 5", ScanArguments::Rejected, 0, 0, wrongParameter},
        {"scan 1-2-3", ScanArguments::Rejected, 0, 0, wrongParameter},
        {"scan 0 10", ScanArguments::Rejected, 0, 0, wrongParameter},
    };
    for (const Case &c : cases) {
        OutputCapture output;
        const ScanArguments scan = parseScanArguments(words(c.line));
        EXPECT_EQ(scan.kind, c.kind) << c.line;
        EXPECT_EQ(output.take(), c.output) << c.line;
        if (c.kind == ScanArguments::Range) {
            EXPECT_EQ(scan.first, c.first) << c.line;
            EXPECT_EQ(scan.last, c.last) << c.line;
        }
    }
}

TEST(CommandArguments, TableTakesAnIdARangeOrBoth)
{
    struct Case
    {
        const char *line; // flags already removed
        int lastId;
        std::optional<uchar> promptAnswer;
        bool ok;
        uchar id;
        ushort start;
        ushort end;
        QByteArray output;
    };
    const QByteArray badRange = "[Error] Invalid address range format. Use format: start-end (e.g., 0-12)\n";
    const QList<Case> cases = {
        {"table 1", -1, {}, true, 1, 0, 65535, ""},
        {"table 1 0-12", -1, {}, true, 1, 0, 12, ""},
        {"table 0-12", 4, {}, true, 4, 0, 12, ""},
        {"table 0-12", -1, uchar(8), true, 8, 0, 12, ""},
        {"table", 4, {}, true, 4, 0, 65535, ""},
        {"table", -1, {}, false, 0, 0, 0, ""},
        {"table 1 10-10 ignored", -1, {}, true, 1, 10, 10, ""},
        {"table 1 0-65535", -1, {}, true, 1, 0, 65535, ""},
        {"table 1 12-0", -1, {}, false, 0, 0, 0, badRange},
        {"table 1 0-65536", -1, {}, false, 0, 0, 0, badRange},
        {"table 1 12", -1, {}, false, 0, 0, 0, badRange},
        {"table 12-0", 4, {}, false, 0, 0, 0, kInvalidId}, // no range, so it is read as an ID
        {"table 253", 4, {}, false, 0, 0, 0, kInvalidId},
    };
    for (const Case &c : cases) {
        ConsoleState console(c.lastId, c.promptAnswer);
        uchar id = 0;
        AddressRange range;
        OutputCapture output;
        ASSERT_EQ(resolveTableArguments(words(c.line), id, range, console.context()), c.ok) << c.line;
        EXPECT_EQ(output.take(), c.output) << c.line;
        if (!c.ok)
            continue;
        EXPECT_EQ(id, c.id) << c.line;
        EXPECT_EQ(range.start, c.start) << c.line;
        EXPECT_EQ(range.end, c.end) << c.line;
    }
}

TEST(CommandArguments, BaudRatesArePositiveIntegersNamedLikeTheMenu)
{
    struct Case
    {
        const char *word;
        bool ok;
        int rate;
        const char *text;
    };
    const QList<Case> cases = {
        {"57600", true, 57600, "57600bps"}, {"1000000", true, 1000000, "1Mbps"}, {"4500000", true, 4500000, "4.5Mbps"},
        {"600", true, 600, "600bps"},       {"0", false, 0, ""},                {"-9600", false, 0, ""},
        {"fast", false, 0, ""},             {"3000000000", false, 0, ""},
    };
    for (const Case &c : cases) {
        int rate = 0;
        OutputCapture output;
        EXPECT_EQ(parseBaudRate(QString::fromLatin1(c.word), rate), c.ok) << c.word;
        if (c.ok) {
            EXPECT_EQ(rate, c.rate) << c.word;
            EXPECT_EQ(baudRateText(rate), QString::fromLatin1(c.text)) << c.word;
            EXPECT_EQ(output.take(), QByteArray()) << c.word;
        } else {
            EXPECT_EQ(output.take(),
                      "[Error] Invalid baudrate: " + QByteArray(c.word) + ". Must be a positive integer\n");
        }
    }
}

TEST(CommandArguments, TimeoutIsReadAsUnsignedAndNeverWrapsToANegativeLatency)
{
    const QByteArray tooLarge = "[Error] Invalid time parameter. Time must be between 0 and 2147483647 ms\n";
    struct Case
    {
        const char *line;
        std::optional<uint> ms;
        QByteArray output;
    };
    const QList<Case> cases = {
        {"timeout 100", 100u, ""},
        {"timeout 0", 0u, ""},
        {"timeout 2147483647", 2147483647u, ""},
        {"timeout abc", 0u, ""},   // no number: no extra time
        {"timeout -5", 0u, ""},
        {"timeout 2147483648", {}, tooLarge},
        {"timeout 4294967295", {}, tooLarge},
        {"timeout 99999999999999999999999", {}, tooLarge},
        {"timeout", {}, "Timeout command requires time parameter\n"},
    };
    for (const Case &c : cases) {
        OutputCapture output;
        EXPECT_EQ(parseTimeout(words(c.line)), c.ms) << c.line;
        EXPECT_EQ(output.take(), c.output) << c.line;
    }
}

TEST(CommandArguments, ClearNeedsAnIdAndOneOfItsThreeParameters)
{
    const QByteArray usage = "[Error] Usage: clear <id> <1|2|10> [-v|--verbose]\n";
    const QByteArray invalid = "[Error] Invalid device ID or clear parameter\n";
    struct Case
    {
        const char *line;
        bool ok;
        uchar id;
        int parameter;
        QByteArray output;
    };
    const QList<Case> cases = {
        {"clear 1 1", true, 1, 1, ""},
        {"clear 252 2", true, 252, 2, ""},
        {"clear 0 10", true, 0, 10, ""},
        {"clear 1 3", false, 0, 0, invalid},
        {"clear 300 1", false, 0, 0, invalid},
        // A word that is no number is no ID 0 and no parameter 0.
        {"clear abc 1", false, 0, 0, invalid},
        {"clear 1 abc", false, 0, 0, invalid},
        {"clear 1", false, 0, 0, usage},
        {"clear 1 1 1", false, 0, 0, usage},
    };
    for (const Case &c : cases) {
        uchar id = 0;
        int parameter = 0;
        OutputCapture output;
        EXPECT_EQ(parseClearArguments(words(c.line), id, parameter), c.ok) << c.line;
        EXPECT_EQ(output.take(), c.output) << c.line;
        if (c.ok) {
            EXPECT_EQ(id, c.id) << c.line;
            EXPECT_EQ(parameter, c.parameter) << c.line;
        }
    }
}

TEST(CommandArguments, UpdateTakesItsIdFromTheLineOrTheLastIdButNeverAsks)
{
    struct Case
    {
        const char *line;
        int lastId;
        bool ok;
        uchar id;
        QByteArray output;
    };
    const QList<Case> cases = {
        {"update 3", -1, true, 3, ""},
        {"update", 7, true, 7, ""},
        {"update", -1, false, 0, "Update command requires device ID\n"},
        {"update 253", 7, false, 0, kInvalidId},
    };
    for (const Case &c : cases) {
        uchar id = 0;
        OutputCapture output;
        EXPECT_EQ(resolveUpdateId(words(c.line), c.lastId, id), c.ok) << c.line;
        EXPECT_EQ(output.take(), c.output) << c.line;
        if (c.ok) {
            EXPECT_EQ(id, c.id) << c.line;
        }
    }
}

} // namespace

TEST(CommandArguments, NumbersWithBlanksAroundThemAreRefusedWithTheRulesErrorLine)
{
    // Words are split at blanks only, so a tab or a no-break space stays in a word.
    struct Case
    {
        const char *line;
        QByteArray output;
    };
    const QByteArray badValue = "[Error] Invalid value parameter. Value must be a valid integer\n";
    const QByteArray badClear = "[Error] Invalid device ID or clear parameter\n";
    const QList<Case> cases = {
        {"ping \t7", kInvalidId},
        {"ping 7\t", kInvalidId},
        {"ping 7\xC2\xA0", kInvalidId},
        {"update \t7", kInvalidId},
        {"get \t1 LED", kInvalidId},
        {"set 1\t LED 1", kInvalidId},
        {"set 1 LED 1\t", badValue},
        {"set 1 LED \t-1", badValue},
        {"scan 0-\t10", "[Error] Wrong range\n"},
        {"table 1 0-12\t", "[Error] Invalid address range format. Use format: start-end (e.g., 0-12)\n"},
        {"open /dev/ttyUSB0 \t57600", "[Error] Invalid baudrate: \t57600. Must be a positive integer\n"},
        {"timeout \t7", "[Error] Invalid time parameter. Time must be between 0 and 2147483647 ms\n"},
        {"clear \t1 1", badClear},
        {"clear 1 1\t", badClear},
    };
    for (const Case &c : cases) {
        const QStringList line = words(c.line);
        const QString command = line.first();
        ConsoleState console(5, uchar(9));
        uchar id = 0;
        int index = 0;
        OutputCapture output;
        bool accepted = false;
        if (command == QLatin1String("ping")) {
            accepted = resolveDeviceId(line, id, console.context());
        } else if (command == QLatin1String("update")) {
            accepted = resolveUpdateId(line, 5, id);
        } else if (command == QLatin1String("get")) {
            accepted = resolveIdAndItem(line, id, index, QStringLiteral("get"), 2, console.context());
        } else if (command == QLatin1String("set")) {
            SetRequest request;
            accepted = parseSetArguments(line, request, console.context());
        } else if (command == QLatin1String("scan")) {
            accepted = parseScanArguments(line).kind != ScanArguments::Rejected;
        } else if (command == QLatin1String("table")) {
            AddressRange range;
            accepted = resolveTableArguments(line, id, range, console.context());
        } else if (command == QLatin1String("open")) {
            int rate = 0;
            accepted = parseBaudRate(line.at(2), rate);
        } else if (command == QLatin1String("timeout")) {
            accepted = parseTimeout(line).has_value();
        } else if (command == QLatin1String("clear")) {
            accepted = parseClearArguments(line, id, index);
        }
        EXPECT_FALSE(accepted) << c.line;
        EXPECT_EQ(output.take(), c.output) << c.line;
        EXPECT_EQ(console.prompts, 0) << c.line << ": the number is never taken for a name";
    }
}

TEST(CommandArguments, IntegerWordsAreAnOptionalSignAndDigits)
{
    struct Case
    {
        const char *word;
        std::optional<int> value;
    };
    const QList<Case> cases = {
        {"0", 0},          {"42", 42},        {"+42", 42},          {"-42", -42},
        {"2147483647", 2147483647}, {"-2147483648", -2147483647 - 1}, {"2147483648", {}},
        {"", {}},          {"+", {}},         {"-", {}},            {" 1", {}},
        {"1 ", {}},        {"\t1", {}},       {"1\n", {}},          {"\xC2\xA0" "1", {}},
        {"1.0", {}},       {"0x10", {}},      {"1e3", {}},          {"+-1", {}},
        {"\xD9\xA1", {}}, // ARABIC-INDIC DIGIT ONE: a digit, but not a decimal one of ours
    };
    for (const Case &c : cases) {
        const QString word = QString::fromUtf8(c.word);
        EXPECT_EQ(integerWord(word), c.value) << c.word;
    }
}
