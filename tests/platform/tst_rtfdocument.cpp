#include "rtfdocument.h"

#include <QTest>

class RtfDocumentTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void toHtml_data()
    {
        QTest::addColumn<QByteArray>("rtf");
        QTest::addColumn<QString>("html");
        QTest::newRow("paragraphs, tables skipped")
            << QByteArray("{\\rtf1\\ansi{\\fonttbl{\\f0 Helvetica;}}{\\colortbl;\\red0\\green0\\blue0;}\\f0 One\\par\n"
                          "Two\\line three}")
            << "<p>One</p>\n<p>Two<br/>three</p>\n";
        QTest::newRow("bold and italic groups") << QByteArray("{\\rtf1 {\\b Bold} and {\\i italic\\i0  plain}\\par}")
                                                << "<p><b>Bold</b> and <i>italic</i> plain</p>\n";
        QTest::newRow("Windows-1252 and Unicode escapes")
            << QByteArray("{\\rtf1\\uc1 caf\\'e9 \\'80 \\u169? \\u-3913?\\par}")
            << QString::fromUtf8("<p>café € © \xEF\x82\xB7</p>\n");
        QTest::newRow("link field") << QByteArray(
            "{\\rtf1 See {\\field{\\*\\fldinst HYPERLINK \"https://example.org/a?b&c\"}{\\fldrslt example}}.\\par}")
                                    << "<p>See <a href=\"https://example.org/a?b&amp;c\">example</a>.</p>\n";
        QTest::newRow("unknown destination and markup characters")
            << QByteArray("{\\rtf1 {\\*\\generator Editor 1.0;}{\\*\\unknown hidden}<b>&amp;\\{x\\}\\par}")
            << "<p>&lt;b&gt;&amp;amp;{x}</p>\n";
        QTest::newRow("not RTF") << QByteArray("plain text") << QString();
        QTest::newRow("nested too deeply") << QByteArray("{\\rtf1 ") + QByteArray(1000, '{') << QString();
    }
    void toHtml()
    {
        QFETCH(QByteArray, rtf);
        QFETCH(QString, html);
        QString error;
        QCOMPARE(RtfDocument::toHtml(rtf, &error), html);
        QCOMPARE(error.isEmpty(), !html.isEmpty());
    }
};

QTEST_GUILESS_MAIN(RtfDocumentTest)
#include "tst_rtfdocument.moc"
