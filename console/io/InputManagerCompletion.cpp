// Tab completion of the line editor: command words at the start of a line and
// after "help", control-table item names after "get"/"set" (with or without a
// device ID) and in implicit item commands (a line that starts with an item
// name or a device ID). One candidate replaces the words it completes; several
// are listed and the line grows to their longest common prefix.
#include "console/io/InputManager.h"

#include "console/io/Console.h"
#include "device/ConsoleConstants.h"
#include "platform/OutputSink.h"

namespace {

constexpr int kCandidateLimit = 20;

QStringList wordsOf(const QString &line)
{
    return line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// A device ID as the console reads one: an unsigned decimal number other than 0.
bool isIdWord(const QString &word)
{
    bool ok = false;
    const uint value = word.toUInt(&ok, 10);
    return ok && value != 0;
}

bool isQuoted(const QString &text)
{
    return text.size() > 1 && text.startsWith(QLatin1Char('"')) && text.endsWith(QLatin1Char('"'));
}

QString unquoted(const QString &text)
{
    return isQuoted(text) ? text.mid(1, text.size() - 2) : text;
}

void echo(const QString &text)
{
    platform::OutputSink::write(text);
}

// Command names match case-sensitively, in the order of their list.
QStringList namesStartingWith(const QStringList &names, const QString &prefix)
{
    QStringList matching;
    for (const QString &name : names) {
        if (name.startsWith(prefix))
            matching.append(name);
    }
    return matching;
}

} // namespace

void InputManager::handleTab(QString &line)
{
    const QStringList words = wordsOf(line);
    const QString lastWord = words.isEmpty() ? QString() : words.last();
    const QString first = words.isEmpty() ? QString() : words.first().toLower();

    QStringList candidates;
    if (words.isEmpty()) {
        candidates = allCommandNames();
    } else if (words.size() == 1) {
        if (first == QLatin1String("help")) {
            listCommands(line);
            return;
        }
        candidates = argumentCompletions(words, lastWord, kCandidateLimit);
    } else if (first == QLatin1String("help")) {
        candidates = completionCommandsStartingWith(lastWord);
    } else if (isGetOrSetCommand(first)) {
        if (isItemNameContext(words))
            candidates = itemCompletions(words, kCandidateLimit);
    } else {
        candidates = argumentCompletions(words, lastWord, kCandidateLimit);
    }

    if (candidates.isEmpty())
        return; // nothing written; the cursor stays where it is
    if (candidates.size() > 1) {
        listCandidates(line, words, candidates);
        return;
    }
    QStringList completed = words;
    applyCompletion(completed, candidates.first());
    line = completed.join(QLatin1Char(' '));
    cursor_ = int(line.size());
    Console::redrawLine(promptText(), line);
}

void InputManager::listCommands(const QString &line)
{
    QString out = QStringLiteral("\n");
    for (const QString &name : completionCommands_)
        out += name + QLatin1Char(' ');
    out += QLatin1Char('\n');
    echo(out);
    cursor_ = int(line.size());
    Console::print(promptText());
    echo(line);
}

void InputManager::listCandidates(QString &line, const QStringList &words, const QStringList &candidates)
{
    QString out = QStringLiteral("\n");
    for (const QString &candidate : candidates)
        out += candidate + QLatin1Char(' ');
    out += QLatin1Char('\n');
    echo(out);
    // A full list of item names for an implicit item command may hide more.
    if (candidates.size() == kCandidateLimit && !words.isEmpty() && !isKnownCommand(words.first()))
        Console::instance().printInfo(QStringLiteral("More results available. Please be more specific."));

    // Where the completed text starts (index of the first word it replaces) and how long the typed part is.
    qsizetype index = 0;
    qsizetype typed = 0;
    if (words.isEmpty()) {
        index = 0;
        typed = 0;
    } else if (isItemNameContext(words)) {
        index = isIdWord(words.at(1)) ? 2 : 1;
        typed = itemNamePrefix(words).size();
    } else if (words.size() >= 2 && candidates.first().startsWith(QLatin1Char('"'))) {
        index = isIdWord(words.first()) ? 1 : 0;
        typed = words.mid(index).join(QLatin1Char(' ')).size();
    } else {
        index = words.size() - 1;
        typed = words.last().size();
    }

    const QString prefix = commonPrefix(candidates);
    if (prefix.size() >= typed && index < words.size()) {
        QStringList kept = words.mid(0, index);
        kept.append(prefix);
        line = kept.join(QLatin1Char(' '));
    }
    cursor_ = int(line.size());
    Console::print(promptText());
    echo(line);
}

QStringList InputManager::allCommandNames() const
{
    return kCommandNames;
}

QStringList InputManager::commandNamesStartingWith(const QString &prefix) const
{
    return namesStartingWith(kCommandNames, prefix);
}

QStringList InputManager::completionCommandsStartingWith(const QString &prefix) const
{
    return namesStartingWith(completionCommands_, prefix);
}

QStringList InputManager::itemNamesStartingWith(const QString &prefix, int limit) const
{
    QStringList names;
    for (const QString &name : itemNames_) {
        if (names.size() >= limit)
            break;
        if (name.startsWith(prefix, Qt::CaseInsensitive))
            names.append(QLatin1Char('"') + name + QLatin1Char('"'));
    }
    return names;
}

QStringList InputManager::itemCompletions(const QStringList &words, int limit) const
{
    return itemNamesStartingWith(itemNamePrefix(words), limit);
}

QStringList InputManager::argumentCompletions(const QStringList &words, const QString &lastWord, int limit) const
{
    if (words.size() >= 2 && isIdWord(words.first()))
        return itemNamesStartingWith(words.mid(1).join(QLatin1Char(' ')), limit);
    if (words.size() == 1) {
        const QStringList commands = commandNamesStartingWith(lastWord);
        return commands.isEmpty() ? itemNamesStartingWith(lastWord, limit) : commands;
    }
    return itemNamesStartingWith(words.join(QLatin1Char(' ')), limit);
}

void InputManager::applyCompletion(QStringList &words, const QString &candidate) const
{
    if (words.isEmpty()) {
        words = QStringList{candidate};
        return;
    }
    if (isItemNameContext(words)) {
        QStringList kept{words.first()};
        if (isIdWord(words.at(1)))
            kept.append(words.at(1));
        kept.append(unquoted(candidate));
        words = kept;
        return;
    }
    if (!kCommandNames.contains(candidate) && isQuoted(candidate)) {
        QStringList kept;
        if (isIdWord(words.first()))
            kept.append(words.first());
        kept.append(unquoted(candidate));
        words = kept;
        return;
    }
    words.last() = candidate;
}

QString InputManager::commonPrefix(const QStringList &candidates)
{
    if (candidates.isEmpty())
        return QString();
    QString prefix = unquoted(candidates.first());
    for (const QString &candidate : candidates) {
        const QString name = unquoted(candidate);
        qsizetype shared = 0;
        while (shared < prefix.size() && shared < name.size() && prefix.at(shared) == name.at(shared))
            ++shared;
        prefix.truncate(shared);
    }
    return prefix;
}

bool InputManager::isGetOrSetCommand(const QString &word)
{
    return word == QLatin1String("get") || word == QLatin1String("set");
}

bool InputManager::isItemNameContext(const QStringList &words)
{
    if (words.size() < 2 || !isGetOrSetCommand(words.first().toLower()))
        return false;
    return !isIdWord(words.at(1)) || words.size() >= 3;
}

QString InputManager::itemNamePrefix(const QStringList &words)
{
    if (words.size() < 2 || !isGetOrSetCommand(words.first().toLower()))
        return QString();
    return words.mid(isIdWord(words.at(1)) ? 2 : 1).join(QLatin1Char(' '));
}

bool InputManager::isKnownCommand(const QString &word)
{
    return kCommandNames.contains(word.toLower());
}
