#include "datatable.h"
#include "rtfdocument.h"

#include <QTest>

class RtfDocumentTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void toHtml_data()
    {
        QTest::addColumn<QString>("rtf"); // ASCII
        QTest::addColumn<QString>("html"); // null: not read, with an error
        row("paragraphs, tables skipped",
            "{\\rtf1\\ansi{\\fonttbl{\\f0 Helvetica;}}{\\colortbl;\\red0\\green0\\blue0;}\\f0 One\\par\nTwo\\line "
            "three}",
            "<p>One</p>\n<p>Two<br/>three</p>\n");
        row("bold and italic groups", "{\\rtf1 {\\b Bold} and {\\i italic\\i0  plain}\\par}",
            "<p><b>Bold</b> and <i>italic</i> plain</p>\n");
        row("Windows-1252 and Unicode escapes", "{\\rtf1\\uc1 caf\\'e9 \\'80 \\u169? \\u-3913?\\par}",
            "<p>café € © \xEF\x82\xB7</p>\n");
        row("link field",
            "{\\rtf1 See {\\field{\\*\\fldinst HYPERLINK \"https://example.org/a?b&c\"}{\\fldrslt example}}.\\par}",
            "<p>See <a href=\"https://example.org/a?b&amp;c\">example</a>.</p>\n");
        row("unknown destination and markup characters",
            "{\\rtf1 {\\*\\generator Editor 1.0;}{\\*\\unknown hidden}<b>&amp;\\{x\\}\\par}",
            "<p>&lt;b&gt;&amp;amp;{x}</p>\n");
        row("not RTF", "plain text", nullptr);
        row("nested too deeply", QStringLiteral("{\\rtf1 ") + QString(1000, QLatin1Char('{')), nullptr);
    }
    void toHtml()
    {
        QFETCH(QString, rtf);
        QFETCH(QString, html);
        QString error;
        QCOMPARE(RtfDocument::toHtml(rtf.toLatin1(), &error), html);
        QCOMPARE(error.isEmpty(), !html.isEmpty());
    }
};

QTEST_GUILESS_MAIN(RtfDocumentTest)
#include "tst_rtfdocument.moc"
