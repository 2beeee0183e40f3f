#include "ui/screenrules.h"

#include "core/text.h"
#include "model/enums.h"
#include "platform/desktopappearance.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QQmlEngine>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTimeZone>

#include <unicode/locid.h>
#include <unicode/reldatefmt.h>
#include <unicode/unistr.h>

#include <array>
#include <cmath>
#include <memory>

using namespace Qt::StringLiterals;

namespace quarn::ui {

namespace {

std::optional<QString> optionalText(const QVariant &value)
{
    if (!value.isValid() || value.isNull())
        return std::nullopt;
    return value.toString();
}

QVariant variantOf(const std::optional<QDateTime> &time)
{
    return time ? QVariant(*time) : QVariant::fromValue(nullptr);
}

QVariantMap mapOf(const OrroDraft &draft)
{
    return {
        { u"conversationID"_s, draft.conversationID },
        { u"title"_s, draft.title },
        { u"notes"_s, draft.notes },
        { u"dateEnabled"_s, draft.dateEnabled },
        { u"date"_s, draft.date },
    };
}

/// One hour from `now`, or `now` itself when that gives no valid time.
QDateTime oneHourFrom(const QDateTime &now)
{
    const QDateTime later = now.addSecs(3600);
    return later.isValid() ? later : now;
}

} // namespace

ScreenRules::ScreenRules(QObject *parent)
    : ScreenRules(
        platform::desktopAppearance(), QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation), parent)
{ }

ScreenRules::ScreenRules(platform::DesktopAppearance &appearance, const QString &configHome, QObject *parent)
    : QObject(parent)
    , m_appearance(appearance)
    , m_now(QDateTime::currentMSecsSinceEpoch())
    , m_filesReduceMotion(desktopReducesMotion(configHome))
{
    connect(
        &m_appearance, &platform::DesktopAppearance::animationsEnabledChanged, this, &ScreenRules::reduceMotionChanged);
    m_clock.setInterval(30'000);
    connect(&m_clock, &QTimer::timeout, this, [this] {
        m_now = QDateTime::currentMSecsSinceEpoch();
        Q_EMIT nowChanged();
    });
    m_clock.start();
}

// --- the rules ------------------------------------------------------------------

std::optional<StatusPresentation> ScreenRules::statusPresentation(const QString &status)
{
    const auto value = fromRawValue<ConversationStatus>(QStringView(status));
    if (!value)
        return std::nullopt;
    switch (*value) {
    case ConversationStatus::needsYou:
        return StatusPresentation { u"Needs you"_s, u"person.crop.circle.badge.exclamationmark"_s };
    case ConversationStatus::aiWorking:
        return StatusPresentation { u"AI working"_s, u"sparkles"_s };
    case ConversationStatus::waiting:
        return StatusPresentation { u"Waiting"_s, u"clock"_s };
    case ConversationStatus::scheduled:
        return StatusPresentation { u"Scheduled"_s, u"calendar.badge.clock"_s };
    case ConversationStatus::inbox:
        return StatusPresentation { u"Inbox"_s, u"tray"_s };
    case ConversationStatus::done:
        return StatusPresentation { u"Done"_s, u"checkmark.circle"_s };
    }
    return std::nullopt;
}

QString ScreenRules::symbolOfTransport(const QString &transport)
{
    if (transport == u"chat"_s)
        return u"bubble.left"_s;
    if (transport == u"ai"_s)
        return u"sparkles"_s;
    return u"envelope"_s;
}

QString ScreenRules::relative(qint64 at, qint64 now, const QString &localeName)
{
    UErrorCode status = U_ZERO_ERROR;
    const QByteArray name = (localeName.isEmpty() || localeName == u"C"_s ? u"en"_s : localeName).toLatin1();
    icu::RelativeDateTimeFormatter formatter(
        icu::Locale(name.constData()), nullptr, UDAT_STYLE_LONG, UDISPCTX_CAPITALIZATION_NONE, status);
    if (U_FAILURE(status))
        return {};

    // The largest unit in which the distance is at least one whole step;
    // under a minute is "now".
    const double seconds = double(at - now) / 1000.0;
    struct Step
    {
        double seconds;
        URelativeDateTimeUnit unit;
    };
    static constexpr std::array<Step, 6> steps { {
        { 365.0 * 86400, UDAT_REL_UNIT_YEAR },
        { 30.0 * 86400, UDAT_REL_UNIT_MONTH },
        { 7.0 * 86400, UDAT_REL_UNIT_WEEK },
        { 86400, UDAT_REL_UNIT_DAY },
        { 3600, UDAT_REL_UNIT_HOUR },
        { 60, UDAT_REL_UNIT_MINUTE },
    } };
    icu::UnicodeString out;
    bool written = false;
    for (const Step &step : steps) {
        const double count = std::trunc(seconds / step.seconds);
        if (count != 0) {
            formatter.formatNumeric(count, step.unit, out, status);
            written = true;
            break;
        }
    }
    if (!written)
        formatter.format(UDAT_DIRECTION_PLAIN, UDAT_ABSOLUTE_NOW, out, status);
    if (U_FAILURE(status))
        return {};
    return QString(reinterpret_cast<const QChar *>(out.getBuffer()), out.length());
}

bool ScreenRules::ownMessage(const std::optional<QString> &sender, const std::optional<QString> &viewer)
{
    return sender == viewer;
}

bool ScreenRules::aiThoughtShown(const QString &status, bool hasSummary)
{
    return hasSummary || status == rawValue(ConversationStatus::aiWorking);
}

NextStep ScreenRules::nextStepOf(const QString &status)
{
    const auto value = fromRawValue<ConversationStatus>(QStringView(status));
    switch (value.value_or(ConversationStatus::inbox)) {
    case ConversationStatus::needsYou:
        return { u"次にやること"_s, u"arrow.right.circle.fill"_s, u"warm"_s };
    case ConversationStatus::aiWorking:
        return { u"整理しています"_s, u"sparkles"_s, u"accent"_s };
    case ConversationStatus::waiting:
        return { u"相手の返信を待っています"_s, u"clock.fill"_s, u"accent"_s };
    case ConversationStatus::scheduled:
        return { u"送信予定です"_s, u"calendar.badge.clock"_s, u"accent"_s };
    case ConversationStatus::inbox:
        return { u"整理を待っています"_s, u"tray.fill"_s, u"accent"_s };
    case ConversationStatus::done:
        return { u"これで完了です"_s, u"checkmark.circle.fill"_s, u"green"_s };
    }
    return {};
}

QString ScreenRules::requestLine(
    const QString &status, const std::optional<QString> &request, const std::optional<QString> &deadline)
{
    if (request)
        return deadline ? *request + u" · "_s + *deadline : *request;
    if (status == rawValue(ConversationStatus::scheduled) && deadline)
        return *deadline;
    return {};
}

bool ScreenRules::replySendable(const QString &replyText, bool isSending)
{
    return !isSending && !text::trimmed(replyText).isEmpty();
}

std::optional<QDateTime> ScreenRules::parseDeadline(const std::optional<QString> &text)
{
    if (!text)
        return std::nullopt;
    // An internet date-time: full date, full time and an offset (Z or ±hh:mm),
    // nothing before or after.
    static const QRegularExpression internet(u"^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}(Z|[+-]\\d{2}:?\\d{2})$"_s);
    if (internet.match(*text).hasMatch()) {
        const QDateTime parsed = QDateTime::fromString(*text, Qt::ISODate);
        if (parsed.isValid())
            return parsed;
    }
    static const QRegularExpression day(u"^\\d{4}-\\d{2}-\\d{2}$"_s);
    if (day.match(*text).hasMatch()) {
        const QDate date = QDate::fromString(*text, u"yyyy-MM-dd"_s);
        if (date.isValid())
            return date.startOfDay();
    }
    return std::nullopt;
}

OrroDraft ScreenRules::draftFromConversation(bool isEvent, const QString &id, const QString &subject,
    const std::optional<QString> &aiSummary, const std::optional<QString> &aiRequest,
    const std::optional<QString> &aiDeadline, const QDateTime &now)
{
    OrroDraft draft;
    draft.conversationID = id;
    draft.title = !isEvent && aiRequest ? *aiRequest : subject;
    draft.notes = aiSummary.value_or(QString());
    const std::optional<QDateTime> deadline = parseDeadline(aiDeadline);
    draft.dateEnabled = isEvent || deadline.has_value();
    draft.date = deadline ? *deadline : oneHourFrom(now);
    return draft;
}

OrroDraft ScreenRules::draftFromAIConversation(
    bool isEvent, const QString &id, const QString &title, const QString &lastMessage, const QDateTime &now)
{
    return OrroDraft { id, title, lastMessage, isEvent, oneHourFrom(now) };
}

OrroTimes ScreenRules::timesFor(bool isEvent, const QDateTime &date, bool dateEnabled)
{
    if (isEvent)
        return OrroTimes { std::nullopt, date, date.addSecs(3600) };
    return OrroTimes { dateEnabled ? std::optional(date) : std::nullopt, std::nullopt, std::nullopt };
}

bool ScreenRules::reduceMotion() const
{
    const std::optional<bool> animations = m_appearance.animationsEnabled();
    return animations ? !*animations : m_filesReduceMotion;
}

bool ScreenRules::desktopReducesMotion(const QString &configHome)
{
    if (configHome.isEmpty())
        return false;
    const QDir config(configHome);
    for (const QString &file : { u"gtk-4.0/settings.ini"_s, u"gtk-3.0/settings.ini"_s }) {
        if (!QFile::exists(config.filePath(file)))
            continue;
        const QSettings gtk(config.filePath(file), QSettings::IniFormat);
        const QString value = gtk.value(u"Settings/gtk-enable-animations"_s).toString().trimmed().toLower();
        if (value == u"0"_s || value == u"false"_s)
            return true;
    }
    if (QFile::exists(config.filePath(u"kdeglobals"_s))) {
        const QSettings kde(config.filePath(u"kdeglobals"_s), QSettings::IniFormat);
        bool ok = false;
        const double factor = kde.value(u"KDE/AnimationDurationFactor"_s).toDouble(&ok);
        if (ok && factor <= 0)
            return true;
    }
    return false;
}

// --- the QML face --------------------------------------------------------------

QVariantMap ScreenRules::status(const QString &status) const
{
    const auto p = statusPresentation(status);
    return { { u"label"_s, p ? p->label : QString() }, { u"symbol"_s, p ? p->symbol : QString() } };
}

QVariantList ScreenRules::userSelectableStatuses() const
{
    QVariantList list;
    for (ConversationStatus s : allCases<ConversationStatus>()) {
        if (!isUserSelectable(s))
            continue;
        const QString raw = rawValue(s);
        QVariantMap entry = status(raw);
        entry.insert(u"status"_s, raw);
        list.append(entry);
    }
    return list;
}

QString ScreenRules::transportSymbol(const QString &transport) const
{
    return symbolOfTransport(transport);
}

QString ScreenRules::relativeTime(double at, double now) const
{
    return relative(qint64(at), qint64(now), QLocale().name());
}

bool ScreenRules::isOwnMessage(const QVariant &senderUserId, const QVariant &viewerID) const
{
    return ownMessage(optionalText(senderUserId), optionalText(viewerID));
}

bool ScreenRules::showsAIThought(const QString &status, const QVariant &aiSummary) const
{
    return aiThoughtShown(status, optionalText(aiSummary).has_value());
}

QVariantMap ScreenRules::nextStep(const QString &status) const
{
    const NextStep step = nextStepOf(status);
    return { { u"text"_s, step.text }, { u"symbol"_s, step.symbol }, { u"tone"_s, step.tone } };
}

QString ScreenRules::aiRequestLine(const QString &status, const QVariant &aiRequest, const QVariant &aiDeadline) const
{
    return requestLine(status, optionalText(aiRequest), optionalText(aiDeadline));
}

QVariantMap ScreenRules::replyChannel(const QString &transport, const QString &mailDomain) const
{
    if (transport == u"chat"_s)
        return { { u"text"_s, u"Quarn chat"_s }, { u"symbol"_s, u"bubble.left"_s } };
    return { { u"text"_s, u"Email · "_s + mailDomain },
        { u"symbol"_s, transport == u"ai"_s ? u"sparkles"_s : u"envelope"_s } };
}

bool ScreenRules::canSendReply(const QString &replyText, bool isSending) const
{
    return replySendable(replyText, isSending);
}

bool ScreenRules::canAddToOrro(const QString &title) const
{
    return !text::trimmed(title).isEmpty();
}

QVariantMap ScreenRules::orroDraftFromConversation(const QString &kind, const QVariantMap &detail) const
{
    return mapOf(draftFromConversation(kind == u"event"_s, detail.value(u"id"_s).toString(),
        detail.value(u"subject"_s).toString(), optionalText(detail.value(u"aiSummary"_s)),
        optionalText(detail.value(u"aiRequest"_s)), optionalText(detail.value(u"aiDeadline"_s)),
        QDateTime::currentDateTime()));
}

QVariantMap ScreenRules::orroDraftFromAIConversation(
    const QString &kind, const QString &id, const QString &title, const QString &lastMessage) const
{
    return mapOf(draftFromAIConversation(kind == u"event"_s, id, title, lastMessage, QDateTime::currentDateTime()));
}

QVariantMap ScreenRules::orroTimes(const QString &kind, const QDateTime &date, bool dateEnabled) const
{
    const OrroTimes times = timesFor(kind == u"event"_s, date, dateEnabled);
    return {
        { u"dueAt"_s, variantOf(times.dueAt) },
        { u"startsAt"_s, variantOf(times.startsAt) },
        { u"endsAt"_s, variantOf(times.endsAt) },
    };
}

void registerScreenRules()
{
    static const bool registered = [] {
        qmlRegisterSingletonType<ScreenRules>(
            "Quarn.Rules", 1, 0, "ScreenRules", [](QQmlEngine *, QJSEngine *) -> QObject * { return new ScreenRules; });
        return true;
    }();
    (void)registered;
}

} // namespace quarn::ui
