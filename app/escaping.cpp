// SPDX-License-Identifier: MIT
#include "escaping.h"

QString escapedBytes(const QByteArray &bytes)
{
    QString text;
    for (const char byte : bytes) {
        switch (byte) {
        case '\r':
            text += QStringLiteral("\\r");
            break;
        case '\n':
            text += QStringLiteral("\\n");
            break;
        case '\t':
            text += QStringLiteral("\\t");
            break;
        case '\\':
            text += QStringLiteral("\\\\");
            break;
        default:
            if (byte >= 0x20 && byte < 0x7f)
                text += QLatin1Char(byte);
            else
                text += QStringLiteral("\\x%1").arg(uchar(byte), 2, 16, QLatin1Char('0'));
        }
    }
    return text;
}

QString escapedText(const QString &text)
{
    QString safe;
    for (int i = 0; i < text.size(); ++i) {
        uint code = text.at(i).unicode();
        int length = 1;
        if (text.at(i).isHighSurrogate() && i + 1 < text.size() &&
            text.at(i + 1).isLowSurrogate()) {
            code = QChar::surrogateToUcs4(text.at(i), text.at(i + 1));
            length = 2;
        }
        switch (QChar::category(code)) {
        case QChar::Other_Control:
            // C0 and DEL, and the C1 controls, which terminals obey too.
            safe += code < 0x80 ? escapedBytes(QByteArray(1, char(code)))
                                : QStringLiteral("\\x%1").arg(code, 2, 16, QLatin1Char('0'));
            break;
        case QChar::Other_Format:
        case QChar::Other_Surrogate:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            // Line breaks of their own, and characters that reorder or hide what follows.
            safe += QStringLiteral("\\u{%1}").arg(code, 4, 16, QLatin1Char('0'));
            break;
        default:
            safe += code == '\\' ? QStringLiteral("\\\\") : text.mid(i, length);
        }
        i += length - 1;
    }
    return safe;
}

QString escapedPath(const QString &path)
{
    const QString prefix = QStringLiteral("\\\\.\\");
    return path.startsWith(prefix) ? prefix + escapedText(path.mid(prefix.size()))
                                   : escapedText(path);
}
