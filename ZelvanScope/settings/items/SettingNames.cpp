#include "settings/items/SettingNames.h"

#include <QStringList>
#include <utility>

QString toDisplayName(QStringView name) {
    QStringList words;
    QString word;
    for (const QChar c : name) {
        if (c == u' ' || c == u'_') {
            if (!word.isEmpty()) words.append(std::exchange(word, QString()));
            continue;
        }
        word.append(word.isEmpty() ? c.toUpper() : c);
    }
    if (!word.isEmpty()) words.append(word);
    return words.join(u' ');
}

QString toDisplayName(const std::string& name) { return toDisplayName(QString::fromStdString(name)); }

std::string toParamName(QStringView label) {
    QString name = label.toString().toLower();
    name.replace(u' ', u'_');
    return name.toStdString();
}
