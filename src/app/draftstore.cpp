#include "app/draftstore.h"

#include "ai/privatefile.h"
#include "core/text.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace Qt::StringLiterals;

namespace quarn {

namespace {

Drafts loadFile(const QString &filePath)
{
    Drafts drafts;
    try {
        (void)readPrivateFile(filePath, [&](const QByteArray &bytes) {
            std::optional<Drafts> decoded = DraftStore::decode(bytes);
            if (decoded)
                drafts = std::move(*decoded);
            return decoded.has_value();
        });
    } catch (const PrivateFileSetAside &e) {
        throw DraftStoreError(
            u"下書きのファイルを読み取れなかったため、新しく始めます。元のファイルは「%1」に残してあります。"_s.arg(
                e.setAsidePath()));
    } catch (const PrivateFileUnreadable &e) {
        throw DraftStoreError(
            u"下書きのファイル「%1」を読み取れず、移動することもできませんでした。このファイルを上書きしないよう、下書きは保存していません。"_s
                .arg(e.filePath()));
    } catch (const PrivateFolderUnsafe &e) {
        throw DraftStoreError(
            u"下書きの保存場所「%1」がリンクか他のユーザーのフォルダーのため、読み書きしません。"_s.arg(
                e.folderPath()));
    }
    return drafts;
}

void saveFile(const QString &filePath, const Drafts &drafts)
{
    try {
        writePrivateFile(filePath, DraftStore::encode(drafts));
    } catch (const PrivateFileUnreadable &e) {
        throw DraftStoreError(
            u"下書きのファイル「%1」を読み取れず、移動することもできませんでした。このファイルを上書きしないよう、下書きは保存していません。"_s
                .arg(e.filePath()));
    } catch (const PrivateFolderUnsafe &e) {
        throw DraftStoreError(
            u"下書きの保存場所「%1」がリンクか他のユーザーのフォルダーのため、読み書きしません。"_s.arg(
                e.folderPath()));
    }
}

QJsonObject encodeCompose(const ComposeDraft &c)
{
    return QJsonObject { { u"recipients"_s, c.recipients }, { u"subject"_s, c.subject }, { u"body"_s, c.body },
        { u"scheduleEnabled"_s, c.scheduleEnabled },
        // Milliseconds fit a double exactly up to 2^53, far beyond any date.
        { u"scheduledDate"_s, double(c.scheduledDate) }, { u"subjectIsAutomatic"_s, c.subjectIsAutomatic } };
}

std::optional<ComposeDraft> decodeCompose(const QJsonObject &c)
{
    const QJsonValue recipients = c.value(u"recipients"_s);
    const QJsonValue subject = c.value(u"subject"_s);
    const QJsonValue body = c.value(u"body"_s);
    const QJsonValue scheduleEnabled = c.value(u"scheduleEnabled"_s);
    const QJsonValue scheduledDate = c.value(u"scheduledDate"_s);
    if (!recipients.isString() || !subject.isString() || !body.isString() || !scheduleEnabled.isBool()
        || !scheduledDate.isDouble())
        return std::nullopt;
    const QJsonValue automatic = c.value(u"subjectIsAutomatic"_s);
    if (!automatic.isBool() && !automatic.isUndefined())
        return std::nullopt;
    return ComposeDraft { recipients.toString(), subject.toString(), body.toString(), scheduleEnabled.toBool(),
        qint64(scheduledDate.toDouble()), automatic.toBool(true) };
}

} // namespace

bool ComposeDraft::isEmpty() const
{
    return text::trimmed(recipients).isEmpty() && text::trimmed(subject).isEmpty() && text::trimmed(body).isEmpty();
}

DraftStore::DraftStore(QString filePath)
    : m_filePath(std::move(filePath))
    , m_executor(std::make_unique<SerialExecutor>())
{ }

DraftStore::~DraftStore() = default;

QByteArray DraftStore::encode(const Drafts &drafts)
{
    QJsonObject replies;
    for (auto it = drafts.replies.cbegin(); it != drafts.replies.cend(); ++it)
        replies.insert(it.key(), it.value());
    QJsonObject root { { u"replies"_s, replies } };
    if (drafts.compose)
        root.insert(u"compose"_s, encodeCompose(*drafts.compose));
    // Only when there is one: a file without it reads as before.
    if (!drafts.unsent.isEmpty()) {
        QJsonArray unsent;
        for (const ComposeDraft &c : drafts.unsent)
            unsent.append(encodeCompose(c));
        root.insert(u"unsent"_s, unsent);
    }
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

std::optional<Drafts> DraftStore::decode(const QByteArray &bytes)
{
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject root = document.object();
    const QJsonValue replies = root.value(u"replies"_s);
    if (!replies.isObject())
        return std::nullopt;
    Drafts drafts;
    const QJsonObject replyObject = replies.toObject();
    for (auto it = replyObject.constBegin(); it != replyObject.constEnd(); ++it) {
        if (!it.value().isString())
            return std::nullopt;
        if (!it.value().toString().isEmpty())
            drafts.replies.insert(it.key(), it.value().toString());
    }
    const QJsonValue compose = root.value(u"compose"_s);
    if (compose.isObject()) {
        drafts.compose = decodeCompose(compose.toObject());
        if (!drafts.compose)
            return std::nullopt;
    } else if (!compose.isUndefined() && !compose.isNull()) {
        return std::nullopt;
    }
    const QJsonValue unsent = root.value(u"unsent"_s);
    if (unsent.isArray()) {
        const QJsonArray list = unsent.toArray();
        for (const QJsonValue &entry : list) {
            std::optional<ComposeDraft> c = entry.isObject() ? decodeCompose(entry.toObject()) : std::nullopt;
            if (!c)
                return std::nullopt;
            drafts.unsent.append(std::move(*c));
        }
    } else if (!unsent.isUndefined()) {
        return std::nullopt;
    }
    return drafts;
}

// The jobs are named and their tasks awaited as locals (GCC 12, see
// README "Asynchrony in short").
QCoro::Task<Drafts> DraftStore::load()
{
    auto job = [path = m_filePath] { return loadFile(path); };
    auto task = m_executor->run(std::move(job));
    co_return co_await std::move(task);
}

QCoro::Task<void> DraftStore::save(Drafts drafts)
{
    auto job = [path = m_filePath, drafts = std::move(drafts)] { saveFile(path, drafts); };
    auto task = m_executor->run(std::move(job));
    co_await std::move(task);
}

} // namespace quarn
