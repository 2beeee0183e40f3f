#include "app/mailsignaturesetting.h"

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
    Q_EMIT textChanged();
}

void MailSignatureSetting::requestEditor()
{
    Q_EMIT editorRequested();
}

} // namespace quarn
