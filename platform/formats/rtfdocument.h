#ifndef RUVELANT_RTFDOCUMENT_H
#define RUVELANT_RTFDOCUMENT_H

#include <QByteArray>
#include <QString>

// Reader of the common subset of RTF that text editors write for short documents (credits,
// read-me files): paragraphs and line breaks, bold, italic and underline, links (HYPERLINK
// fields), \'hh (Windows-1252) and \uN characters. Font, colour and style tables, pictures and
// other destinations are skipped.
namespace RtfDocument {
// The document as HTML. Returns an empty text and sets *error when data is not RTF.
QString toHtml(const QByteArray &data, QString *error = nullptr);
// The rich-text document of an .rtfd package (its TXT.rtf) as HTML; empty when it cannot be read.
QString htmlOfPackage(const QString &packagePath, QString *error = nullptr);
} // namespace RtfDocument

#endif
