// Small helpers shared by the viewer: time texts, version and network checks, message types, the
// application font.
#pragma once

#include <QFont>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <string>

enum ZvMessageType { Success = 0, Warning = 1, Error = 2 };
Q_DECLARE_METATYPE(ZvMessageType)

// Seconds as hours:minutes:seconds, each at least two digits ("00:01:05").
QString formatDuration(uint64_t seconds);
// Microseconds as minutes:seconds:microseconds, zero-padded to 2, 2 and 6 digits.
QString formatTimestamp(uint64_t timestamp_us);
// The statistics texts of the status line.
QString bandwidthText(uint64_t bytes_per_second);
QString eventRateText(uint64_t events_per_second);
// True when the "V1.2.3"-style version in `a` is at least the one in `b`; false (and a warning)
// when either has no version.
bool isVersionAtLeast(const QString& a, const QString& b);
// True when the two dotted addresses are in the same subnet of `mask`.
bool isSameSubnet(const QString& ip1, const QString& ip2, const QString& mask);
// The folder to offer for a path: the folder itself, a file's folder, or an existing parent; "" if none.
QString resolveTipDirectory(const QString& path);
// A path as the bytes the file system (and so the driver) names it by, and back. Every path handed
// to the driver goes through these, so that a name the driver reports compares equal to ours.
std::string toFileSystemPath(const QString& path);
QString fromFileSystemPath(const std::string& path);
// Creates `path` as an empty file, or, when a file of that name exists, the first free one of
// "<name>_1.<ext>", "<name>_2.<ext>", ...; returns the name created. Never touches an existing
// file. Empty when no file can be created there (a missing folder, no permission).
QString createUniqueFile(const QString& path);
// The family to use from the families of a font file: the proportional Simplified Chinese face
// ("Noto Sans CJK SC" in the Noto CJK collection, "Noto Sans SC" as a single face), else the first
// Simplified Chinese face that is not monospaced, else the first face that is not monospaced, else
// the first. Empty for an empty list.
QString chooseApplicationFontFamily(const QStringList& families);
// Adds the first of `font_files` that exists and loads to the application font database and
// returns a font of its chosen family: medium weight where that style is installed, no hinting.
// Logs "Failed to load font!" and returns nothing when none loads (the platform font stays).
std::optional<QFont> loadApplicationFont(const QStringList& font_files);
