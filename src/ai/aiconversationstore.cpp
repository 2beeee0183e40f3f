#include "ai/aiconversationstore.h"

#include "ai/privatefile.h"
#include "core/error.h"
#include "model/json.h"
#include "platform/paths.h"

#include <algorithm>
#include <utility>

using namespace Qt::StringLiterals;

namespace quarn {

namespace {

QList<AIConversation> loadFile(const QString &filePath)
{
    QList<AIConversation> conversations;
    try {
        (void)readPrivateFile(filePath, [&](const QByteArray &bytes) {
            try {
                conversations = decodeJson<QList<AIConversation>>(bytes);
                return true;
            } catch (const DecodeError &) {
                return false;
            }
        });
    } catch (const PrivateFileSetAside &e) {
        throw AIConversationFileSetAside(e.setAsidePath());
    } catch (const PrivateFileUnreadable &e) {
        throw AIConversationFileUnreadable(e.filePath());
    } catch (const PrivateFolderUnsafe &e) {
        throw AIConversationFolderUnsafe(e.folderPath());
    }
    std::stable_sort(conversations.begin(), conversations.end(),
        [](const AIConversation &a, const AIConversation &b) { return a.updatedAt > b.updatedAt; });
    return conversations;
}

void saveFile(const QString &filePath, const QList<AIConversation> &conversations)
{
    try {
        writePrivateFile(filePath, encodeJson(conversations));
    } catch (const PrivateFileUnreadable &e) {
        throw AIConversationFileUnreadable(e.filePath());
    } catch (const PrivateFolderUnsafe &e) {
        throw AIConversationFolderUnsafe(e.folderPath());
    }
}

} // namespace

AIConversationFileSetAside::AIConversationFileSetAside(QString setAsidePath)
    : m_setAsidePath(std::move(setAsidePath))
{ }

QString AIConversationFileSetAside::description() const
{
    return u"AIとの会話のファイルを読み取れなかったため、新しい一覧で始めます。元のファイルは「%1」に残してあります。"_s
        .arg(m_setAsidePath);
}

AIConversationFileUnreadable::AIConversationFileUnreadable(QString filePath)
    : m_filePath(std::move(filePath))
{ }

QString AIConversationFileUnreadable::description() const
{
    return u"AIとの会話のファイル「%1」を読み取れず、移動することもできませんでした。このファイルを上書きしないよう、会話は保存していません。ファイルの所有者と権限を確かめてください。"_s
        .arg(m_filePath);
}

AIConversationFolderUnsafe::AIConversationFolderUnsafe(QString folderPath)
    : m_folderPath(std::move(folderPath))
{ }

QString AIConversationFolderUnsafe::description() const
{
    return u"AIとの会話の保存場所「%1」がリンクか他のユーザーのフォルダーのため、読み書きしません。"_s.arg(
        m_folderPath);
}

AIConversationStore::AIConversationStore()
    : AIConversationStore(defaultFilePath())
{ }

AIConversationStore::AIConversationStore(QString filePath)
    : m_filePath(std::move(filePath))
    , m_executor(std::make_unique<SerialExecutor>())
{ }

AIConversationStore::~AIConversationStore() = default;

QString AIConversationStore::defaultFilePath()
{
    return platform::applicationSupportDirectory() + u"/ai-conversations.json"_s;
}

// The jobs are named and their tasks awaited as locals: GCC 12 destroys a
// lambda or task that is a temporary inside a co_await expression twice,
// which drops the reference count of captured Qt containers below zero.
QCoro::Task<QList<AIConversation>> AIConversationStore::load()
{
    auto job = [path = m_filePath] { return loadFile(path); };
    auto task = m_executor->run(std::move(job));
    co_return co_await std::move(task);
}

QCoro::Task<void> AIConversationStore::save(QList<AIConversation> conversations)
{
    auto job = [path = m_filePath, conversations = std::move(conversations)] { saveFile(path, conversations); };
    auto task = m_executor->run(std::move(job));
    co_await std::move(task);
}

} // namespace quarn
