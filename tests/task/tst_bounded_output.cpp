#include "task/bounded_output.h"

#include <QTest>

using AppStore::BoundedOutput;

namespace {

constexpr qsizetype kTail = 100;
constexpr qsizetype kKept = 60;

QString lines(const QString &format, int count)
{
    QString text;
    for (int i = 0; i < count; ++i)
        text += format.arg(i, 3, 10, QLatin1Char('0'));
    return text;
}

} // namespace

// Small limits stand for the task's few hundred KiB.
class TestBoundedOutput : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void keepsMarkedLinesAndTail_data()
    {
        QTest::addColumn<QStringList>("chunks");
        QTest::addColumn<QString>("kept");
        QTest::addColumn<QString>("end");

        const QString flood = lines(QStringLiteral("filler %1\r\n"), 500);
        QTest::newRow("short output whole")
            << QStringList{"one\r\n", "tw", "o"} << QStringLiteral("one\r\ntwo")
            << QStringLiteral("two");
        QTest::newRow("unpack error and its reason outlive a flood")
            << QStringList{"Preparing\r\n", "ERR archive (--unpack):\r\n", " why\r\nnot this\r\n",
                           flood, "last\r\n"}
            << QStringLiteral("ERR archive (--unpack):\r\n why\r\n") << QStringLiteral("last\r\n");
        QTest::newRow("marked line inside one big chunk")
            << QStringList{flood + QStringLiteral("OVER x\r\n") + flood + QStringLiteral("last")}
            << QStringLiteral("OVER x\r\n") << QStringLiteral("filler 499\r\nlast");
        QTest::newRow("marked lines are bounded too")
            << QStringList{lines(QStringLiteral("OVER %1\r\n"), 500), flood}
            << lines(QStringLiteral("OVER %1\r\n"), 6) << QStringLiteral("filler 499\r\n");
        QTest::newRow("a line longer than the tail")
            << QStringList{"ERR start\r\n", QString(1000, u'z'), "\r\nlast\r\n"}
            << QStringLiteral("ERR start\r\n") << QStringLiteral("zz\r\nlast\r\n");
    }

    void keepsMarkedLinesAndTail()
    {
        QFETCH(QStringList, chunks);
        QFETCH(QString, kept);
        QFETCH(QString, end);

        BoundedOutput output(kTail, {QStringLiteral("ERR"), QStringLiteral("OVER")},
                             QStringLiteral("ERR"), kKept);
        for (const QString &chunk : std::as_const(chunks))
            output.append(chunk);
        const QString text = output.text();
        QVERIFY2(text.startsWith(kept), qPrintable(text));
        QVERIFY2(text.endsWith(end), qPrintable(text));
        QVERIFY(text.size() <= kKept + kTail + kTail / 2);
    }
};

QTEST_GUILESS_MAIN(TestBoundedOutput)
#include "tst_bounded_output.moc"
