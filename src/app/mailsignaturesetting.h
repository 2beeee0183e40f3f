#pragma once

#include <QObject>
#include <QString>

namespace quarn {

/// The user's e-mail signature: the one preference of the application, kept
/// in its settings store (QSettings of the application) under
/// "mailSignature", empty when never set.
///
/// Every edit is stored at once; there is no save step. The screens of one
/// window system share one instance, so an edit in the settings window shows
/// in an open compose window straight away; a new instance (a restart) reads
/// the stored text.
class MailSignatureSetting : public QObject
{
    Q_OBJECT

    /// The signature as typed (untrimmed; the compose window trims it).
    Q_PROPERTY(QString text READ text WRITE setText NOTIFY textChanged)
    /// Why the last change could not be stored (Japanese), or empty: the
    /// change holds for this session only until a later one is stored.
    Q_PROPERTY(QString saveError READ saveError NOTIFY saveErrorChanged)

public:
    /// The key in the settings store.
    static constexpr char16_t kKey[] = u"mailSignature";

    explicit MailSignatureSetting(QObject *parent = nullptr);

    [[nodiscard]] const QString &text() const { return m_text; }
    /// Stores `text` at once (an empty text is stored as empty text).
    void setText(const QString &text);

    /// Asks for the settings window, where the signature is edited (the
    /// compose window's "署名を設定" link); whoever shows it listens to
    /// editorRequested.
    Q_INVOKABLE void requestEditor();

    [[nodiscard]] const QString &saveError() const { return m_saveError; }

Q_SIGNALS:
    void saveErrorChanged();
    void textChanged();
    void editorRequested();

private:
    QString m_saveError;
    QString m_text;
};

} // namespace quarn
