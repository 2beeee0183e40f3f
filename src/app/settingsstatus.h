#pragma once

#include <QSettings>
#include <QString>

namespace quarn {

/// After a sync: the Japanese sentence that says the settings could not be
/// stored and where they live, or empty when they were.
[[nodiscard]] inline QString settingsSaveError(const QSettings &settings)
{
    if (settings.status() == QSettings::NoError)
        return {};
    return QStringLiteral("設定を保存できませんでした。設定ファイル「%1」とディスクの空きを確かめてください。")
        .arg(settings.fileName());
}

} // namespace quarn
