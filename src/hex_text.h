#pragma once

#include <QChar>
#include <QLatin1StringView>
#include <QStringView>

// Hexadecimal text as the updater accepts it everywhere (digests, thumbprints, UUIDs): the digits
// 0-9 and the letters a-f in either case, nothing else.

inline bool isHexDigit(QChar c) {
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

inline bool isHexDigit(char c) {
    return isHexDigit(QChar::fromLatin1(c));
}

// Exactly `length` hexadecimal digits.
template <typename Text> bool isHexText(Text text, qsizetype length) {
    if (text.size() != length)
        return false;
    for (const auto c : text) {
        if (!isHexDigit(c))
            return false;
    }
    return true;
}

// A SHA-256 digest written out: 64 hexadecimal digits.
inline bool isSha256Text(QStringView text) {
    return isHexText(text, 64);
}

// A UUID in Qt's braceless text form, in either letter case: hexadecimal digits in groups of 8,
// 4, 4, 4 and 12 joined by '-'.
inline bool isBracelessUuid(QStringView text) {
    if (text.size() != 36)
        return false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const bool hyphenPosition = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphenPosition ? text.at(i) != u'-' : !isHexDigit(text.at(i)))
            return false;
    }
    return true;
}
