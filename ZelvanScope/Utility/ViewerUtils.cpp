#include "Utility/ViewerUtils.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QRegularExpression>
#include <QVersionNumber>

#include "zelvan/StringUtils.h"

QString formatDuration(uint64_t seconds) {
    return QString("%1:%2:%3")
        .arg(seconds / 3600, 2, 10, QChar('0'))
        .arg((seconds / 60) % 60, 2, 10, QChar('0'))
        .arg(seconds % 60, 2, 10, QChar('0'));
}

QString formatTimestamp(uint64_t timestamp_us) {
    const uint64_t seconds = timestamp_us / 1000000;
    return QString("%1:%2:%3")
        .arg(seconds / 60, 2, 10, QChar('0'))
        .arg(seconds % 60, 2, 10, QChar('0'))
        .arg(timestamp_us % 1000000, 6, 10, QChar('0'));
}

QString bandwidthText(uint64_t bytes_per_second) {
    return QCoreApplication::translate("MainWidget", " Bandwidth: ") +
           QString::number(double(bytes_per_second) / 1024.0 / 1024.0, 'f', 1) + " MB/s ";
}

QString eventRateText(uint64_t events_per_second) {
    return QCoreApplication::translate("MainWidget", " Events: ") +
           QString::number(double(events_per_second) / 1000000.0, 'f', 1) + " MEv/s ";
}

bool isVersionAtLeast(const QString& a, const QString& b) {
    static const QRegularExpression pattern("V(\\d+(\\.\\d+){0,2})");
    const auto ma = pattern.match(a);
    const auto mb = pattern.match(b);
    if (!ma.hasMatch() || !mb.hasMatch()) {
        qWarning() << "Cannot parse version from:" << a;
        return false;
    }
    return QVersionNumber::fromString(ma.captured(1)) >= QVersionNumber::fromString(mb.captured(1));
}

bool isSameSubnet(const QString& ip1, const QString& ip2, const QString& mask) {
    const uint32_t m = zelvan::stringToIP(mask.toStdString());
    return (zelvan::stringToIP(ip1.toStdString()) & m) == (zelvan::stringToIP(ip2.toStdString()) & m);
}

QString resolveTipDirectory(const QString& path) {
    const QFileInfo info(path);
    if (info.isDir()) return info.absoluteFilePath();
    if (info.isFile()) return info.absolutePath();
    const QFileInfo parent(info.absolutePath());
    if (parent.isDir()) return parent.absoluteFilePath();
    qWarning() << "Path does not exist:" << path;
    return QString();
}

QString createUniqueFile(const QString& path) {
    const int slash = int(path.lastIndexOf('/'));
    const int dot = int(path.lastIndexOf('.'));
    const bool has_ext = dot > slash + 1;
    const QString stem = has_ext ? path.left(dot) : path;
    const QString ext = has_ext ? path.mid(dot) : QString();
    // Exclusive creation: a file that appears meanwhile (another recording, another program) is
    // never opened, and the next name is tried.
    constexpr int kMaxSuffix = 9999;
    for (int n = 0; n <= kMaxSuffix; ++n) {
        const QString candidate = n == 0 ? path : QString("%1_%2%3").arg(stem).arg(n).arg(ext);
        QFile file(candidate);
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) return candidate;
        if (!file.exists()) return QString();  // not a name clash: the folder does not take files
    }
    return QString();
}

std::string toFileSystemPath(const QString& path) { return QFile::encodeName(path).toStdString(); }

QString fromFileSystemPath(const std::string& path) {
    return QFile::decodeName(QByteArray::fromStdString(path));
}

QString chooseApplicationFontFamily(const QStringList& families) {
    for (const char* wanted : {"Noto Sans CJK SC", "Noto Sans SC"}) {
        if (families.contains(QLatin1String(wanted))) return QLatin1String(wanted);
    }
    const auto proportional = [](const QString& family) {
        return !family.contains("Mono", Qt::CaseInsensitive);
    };
    for (const QString& family : families) {
        if (proportional(family) && family.endsWith(" SC")) return family;
    }
    for (const QString& family : families) {
        if (proportional(family)) return family;
    }
    return families.value(0);
}

std::optional<QFont> loadApplicationFont(const QStringList& font_files) {
    for (const QString& path : font_files) {
        if (!QFile::exists(path)) continue;
        const int id = QFontDatabase::addApplicationFont(path);
        if (id < 0) continue;
        const QString family = chooseApplicationFontFamily(QFontDatabase::applicationFontFamilies(id));
        if (family.isEmpty()) {
            QFontDatabase::removeApplicationFont(id);
            continue;
        }
        QFont font(family);
        if (QFontDatabase::styles(family).contains("Medium")) font.setWeight(QFont::Medium);
        font.setHintingPreference(QFont::PreferNoHinting);
        return font;
    }
    qWarning() << "Failed to load font!";
    return std::nullopt;
}
