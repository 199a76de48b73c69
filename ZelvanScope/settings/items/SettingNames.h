// Labels of setting items and the parameter names behind them. A camera tool names its parameters
// in lower case with "_" between the words ("bias_diff_on"); an item shows the name as words with an
// upper-case initial ("Bias Diff On") and reports changes under the name recovered from that label.
// The round trip keeps every name that is lower case without blanks; other names come back changed
// ("Offset X" is reported as "offset_x").
#pragma once

#include <QString>
#include <QStringView>
#include <string>

// Words are separated by blanks or "_"; each word gets an upper-case first letter (the rest is kept)
// and the words are joined by single blanks. "bias_fo" -> "Bias Fo".
QString toDisplayName(QStringView name);
QString toDisplayName(const std::string& name);

// Every character lower-cased, every blank replaced by "_" (UTF-8). "Bias Fo" -> "bias_fo".
std::string toParamName(QStringView label);
