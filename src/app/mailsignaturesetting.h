#pragma once

#include <QObject>
#include <QString>
#include <QThreadPool>
#include <QTimer>

namespace quarn {

/// The user's e-mail signature: the one preference of the application, kept
/// in its settings store (QSettings of the application) under
/// "mailSignature", empty when never set.
///
/// There is no save step. An edit holds in memory at once (the screens of one
/// window system share one instance, so an open compose window shows it
/// straight away) and is written once typing has rested for the quiet
/// interval, on a worker thread of its own: a keystroke never waits for the
/// settings file. Writing now (saveNow: the settings window closing, the
/// instance going at exit) takes what is unwritten along. A new instance (a
/// restart) reads the stored text.
class MailSignatureSetting : public QObject
{
    Q_OBJECT

    /// The signature as typed (untrimmed; the compose window trims it).
    Q_PROPERTY(QString text READ text WRITE setText NOTIFY textChanged)
    /// Why the last write could not be stored (Japanese), or empty: the
    /// change holds for this session only until a later one is stored.
    Q_PROPERTY(QString saveError READ saveError NOTIFY saveErrorChanged)
    /// How long typing must rest before the text is written (ms).
    Q_PROPERTY(int quietInterval READ quietInterval WRITE setQuietInterval NOTIFY quietIntervalChanged)

public:
    /// The key in the settings store.
    static constexpr char16_t kKey[] = u"mailSignature";
    static constexpr int kQuietIntervalMs = 600;

    explicit MailSignatureSetting(QObject *parent = nullptr);
    /// Writes what is unwritten before it goes.
    ~MailSignatureSetting() override;

    [[nodiscard]] const QString &text() const { return m_text; }
    /// Takes `text` at once and writes it after the quiet interval (an
    /// empty text is stored as empty text).
    void setText(const QString &text);

    [[nodiscard]] int quietInterval() const { return m_quiet.interval(); }
    void setQuietInterval(int ms);

    /// Starts the write of what is unwritten now, without waiting for the
    /// quiet interval to pass.
    Q_INVOKABLE void saveNow();

    /// Asks for the settings window, where the signature is edited (the
    /// compose window's "署名を設定" link); whoever shows it listens to
    /// editorRequested.
    Q_INVOKABLE void requestEditor();

    [[nodiscard]] const QString &saveError() const { return m_saveError; }

Q_SIGNALS:
    void saveErrorChanged();
    void textChanged();
    void editorRequested();
    void quietIntervalChanged();
    /// A write ended (saveError tells how).
    void saved();

private:
    void finishWrite(quint64 write, const QString &error);

    QString m_saveError;
    QString m_text;
    bool m_unsaved = false;
    /// Writes are numbered; only the newest one's outcome is shown.
    quint64 m_writes = 0;
    QTimer m_quiet;
    /// One thread: writes reach the file in the order they were made.
    QThreadPool m_writer;
};

} // namespace quarn
