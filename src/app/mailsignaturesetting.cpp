#include "app/mailsignaturesetting.h"

#include "app/settingsstatus.h"

#include <QSettings>

namespace quarn {

namespace {

QString key()
{
    return QString::fromUtf16(MailSignatureSetting::kKey);
}

} // namespace

MailSignatureSetting::MailSignatureSetting(QObject *parent)
    : QObject(parent)
    , m_text(QSettings().value(key(), QString()).toString())
{ }

void MailSignatureSetting::setText(const QString &text)
{
    if (text == m_text)
        return;
    m_text = text;
    // Written through at once: the settings window has no save button, and
    // a crash right after typing must not lose the edit.
    QSettings settings;
    settings.setValue(key(), text);
    settings.sync();
    // A store that cannot be written (a full disk, a settings file made
    // read-only) is said, not passed over as if the change were kept.
    const QString error = settingsSaveError(settings);
    if (error != m_saveError) {
        m_saveError = error;
        Q_EMIT saveErrorChanged();
    }
    Q_EMIT textChanged();
}

void MailSignatureSetting::requestEditor()
{
    Q_EMIT editorRequested();
}

} // namespace quarn
