#include "control/SetDialogue.h"

#include "console/io/Console.h"
#include "control/CancelLoan.h"
#include "control/ItemValue.h"
#include "device/QvxControlItem.h"
#include "platform/OutputSink.h"

#include <QList>

#include <algorithm>

namespace {

const QString kRule = QString(30, QLatin1Char('-'));
const QString kNotOffered = QStringLiteral("-");

struct Choice
{
    qint64 value = 0;
    QString label;
};

} // namespace

SetDialogue::SetDialogue(InputManager *input, std::atomic<bool> &cancelFlag, Writer write)
    : input_(input)
    , cancelFlag_(cancelFlag)
    , write_(std::move(write))
{
}

void SetDialogue::chooseValue(const QvxControlItem &item, int minimum, int maximum)
{
    QList<Choice> choices;
    const qint64 first = firstLabelledValue(item);
    for (qsizetype k = 0; k < item.labels.size(); ++k) {
        const qint64 value = first + k;
        if (value < minimum || value > maximum)
            continue;
        const QString label = valueLabel(item, value).value_or(QString()).trimmed();
        if (!label.isEmpty() && label != kNotOffered)
            choices.append({value, label});
    }
    // Nothing to offer would leave the question without a first and last value.
    if (choices.isEmpty()) {
        Console::instance().printError(QStringLiteral("No values to choose from for ") + item.name);
        return;
    }
    QString list = kRule + QLatin1Char('\n');
    for (const Choice &choice : choices)
        list += QStringLiteral("  %1 : %2\n").arg(choice.value).arg(choice.label);
    platform::OutputSink::write(list + kRule + QLatin1Char('\n'));

    const CancelLoan loan(input_, cancelFlag_);
    const QString prompt = QStringLiteral("Choose item number (%1-%2, press Ctrl+C to cancel): ")
                               .arg(choices.first().value)
                               .arg(choices.last().value);
    for (;;) {
        const std::optional<QString> answer = loan.askNonEmpty(prompt);
        if (!answer)
            return;
        bool ok = false;
        const int number = answer->toInt(&ok, 10);
        const auto chosen = std::find_if(choices.cbegin(), choices.cend(),
                                         [&](const Choice &choice) { return ok && choice.value == number; });
        if (chosen == choices.cend()) {
            Console::instance().printError(QStringLiteral("Invalid item index"));
            continue;
        }
        if (write_(number, item.length))
            Console::instance().printSuccess(QStringLiteral("change %1 to %2").arg(item.name, chosen->label));
        return;
    }
}

void SetDialogue::enterBits(const QvxControlItem &item)
{
    const int count = static_cast<int>(std::min<qsizetype>(8, item.labels.size()));
    QString list = kRule + QLatin1Char('\n');
    for (int bit = count - 1; bit >= 0; --bit)
        list += QStringLiteral("  Bit %1 : %2\n").arg(bit).arg(item.labels.at(bit));
    platform::OutputSink::write(list + kRule + QLatin1Char('\n'));

    const CancelLoan loan(input_, cancelFlag_);
    const QString prompt =
        QStringLiteral("Enter bit numbers (e.g., 0,1,2 or ',' to clear all, press Ctrl+C to cancel): ");
    for (;;) {
        const std::optional<QString> answer = loan.ask(prompt);
        if (!answer)
            return;
        if (answer->isEmpty()) {
            Console::instance().printError(QStringLiteral("Input cannot be empty"));
            continue;
        }
        if (answer->trimmed() == QLatin1String(",")) {
            if (write_(0, 1))
                Console::instance().printSuccess(QStringLiteral("change %1 to (all bits cleared)").arg(item.name));
            return;
        }
        quint8 bits = 0;
        bool accepted = false;
        const QStringList parts = answer->split(QLatin1Char(','), Qt::SkipEmptyParts);
        for (const QString &part : parts) {
            bool ok = false;
            const int bit = part.trimmed().toInt(&ok, 10);
            if (!ok) {
                Console::instance().printWarning(QStringLiteral("Invalid input: ") + part);
            } else if (bit < 0 || bit >= count) {
                Console::instance().printWarning(QStringLiteral("Invalid bit number: ") + QString::number(bit));
            } else if (item.labels.at(bit) == kNotOffered) {
                Console::instance().printWarning(QStringLiteral("Bit %1 cannot be set.").arg(bit));
            } else {
                bits |= static_cast<quint8>(1u << bit);
                accepted = true;
            }
        }
        // Only "," clears every bit: an answer that named no usable bit is asked again.
        if (!accepted)
            continue;
        if (write_(bits, 1)) {
            QString names;
            for (int bit = 0; bit < 8; ++bit)
                if (bits & (1u << bit))
                    names += item.labels.at(bit) + QStringLiteral(", ");
            Console::instance().printSuccess(QStringLiteral("change %1 to %2").arg(item.name, names));
        }
        return;
    }
}

void SetDialogue::enterValue(const QvxControlItem &item, int minimum, int maximum,
                             const std::function<QString()> &scaleLine)
{
    const CancelLoan loan(input_, cancelFlag_);
    const QString prompt = QStringLiteral("Input value (%1-%2, press Ctrl+C to cancel): ").arg(minimum).arg(maximum);
    const auto scale = [&] { return QStringLiteral("Scale :  ") + scaleLine() + QLatin1Char('\n'); };
    for (;;) {
        const std::optional<QString> answer = loan.askNonEmpty(prompt, scale);
        if (!answer)
            return;
        bool ok = false;
        const int value = answer->toInt(&ok, 10);
        if (!ok || value < minimum || value > maximum) {
            Console::instance().printError(QStringLiteral("Invalid value"));
            continue;
        }
        if (write_(value, item.length))
            Console::instance().printSuccess(QStringLiteral("change %1 to %2").arg(item.name, QString::number(value)));
        return;
    }
}
