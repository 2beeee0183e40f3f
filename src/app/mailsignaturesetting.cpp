#include "app/mailsignaturesetting.h"

#include "app/settingsstatus.h"

#include <QFutureWatcher>
#include <QSettings>
#include <QtConcurrent>

namespace quarn {

namespace {

QString key()
{
    return QString::fromUtf16(MailSignatureSetting::kKey);
}

/// Writes `text` and syncs; the failure sentence, or empty. Each call has
/// its own QSettings, which is what lets it run on another thread.
QString write(const QString &text)
{
    QSettings settings;
    settings.setValue(key(), text);
    settings.sync();
    // A store that cannot be written (a full disk, a settings file made
    // read-only) is said, not passed over as if the change were kept.
    return settingsSaveError(settings);
}

} // namespace

MailSignatureSetting::MailSignatureSetting(QObject *parent)
    : QObject(parent)
    , m_text(QSettings().value(key(), QString()).toString())
{
    m_writer.setMaxThreadCount(1);
    m_quiet.setSingleShot(true);
    m_quiet.setInterval(kQuietIntervalMs);
    connect(&m_quiet, &QTimer::timeout, this, &MailSignatureSetting::saveNow);
}

MailSignatureSetting::~MailSignatureSetting()
{
    // At exit nothing typed may stay behind: the last text is written here,
    // after the writes already on their way (bounded, so a hung file system
    // cannot hold the exit for ever).
    m_quiet.stop();
    m_writer.waitForDone(5000);
    if (m_unsaved)
        (void)write(m_text);
}

void MailSignatureSetting::setText(const QString &text)
{
    if (text == m_text)
        return;
    m_text = text;
    m_unsaved = true;
    m_quiet.start();
    Q_EMIT textChanged();
}

void MailSignatureSetting::setQuietInterval(int ms)
{
    if (ms == m_quiet.interval())
        return;
    m_quiet.setInterval(ms);
    Q_EMIT quietIntervalChanged();
}

void MailSignatureSetting::saveNow()
{
    m_quiet.stop();
    if (!m_unsaved)
        return;
    m_unsaved = false;
    const quint64 number = ++m_writes;
    auto *watcher = new QFutureWatcher<QString>(this);
    connect(watcher, &QFutureWatcher<QString>::finished, this, [this, watcher, number] {
        finishWrite(number, watcher->result());
        watcher->deleteLater();
    });
    watcher->setFuture(QtConcurrent::run(&m_writer, write, m_text));
}

void MailSignatureSetting::finishWrite(quint64 number, const QString &error)
{
    // An older write that ends after a newer one started says nothing about
    // what the file holds now.
    if (number == m_writes && error != m_saveError) {
        m_saveError = error;
        Q_EMIT saveErrorChanged();
    }
    Q_EMIT saved();
}

void MailSignatureSetting::requestEditor()
{
    Q_EMIT editorRequested();
}

} // namespace quarn
