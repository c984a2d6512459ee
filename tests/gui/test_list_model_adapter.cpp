#include <QAbstractItemModelTester>
#include <QItemSelectionModel>
#include <QSignalSpy>
#include <QtTest>

#include "ui/list_model_adapter.h"
#include "engine/main_lists.h"

using namespace sondrel;

namespace {

std::vector<ColumnSpec> columns() {
    return {{u"Application", 350}, {u"UL", 70, true}, {u"DL", 70, true}, {u"Host", 250}};
}

std::vector<std::u16string> cells(const char16_t* name, const char16_t* ul, const char16_t* dl = u"0 B") {
    return {name, ul, dl, u"10.200.0.1"};
}

QStringList columnTexts(const QAbstractItemModel& model, int column) {
    QStringList texts;
    for (int row = 0; row < model.rowCount(); ++row) texts << model.index(row, column).data().toString();
    return texts;
}

}  // namespace

class TestListModelAdapter : public QObject {
    Q_OBJECT

private slots:
    void headersAndCellsComeFromTheList();
    void insertsArriveAsRowInserts();
    void oneDataChangedPerFlush();
    void sortIsALayoutChangeAndPersistentIndexesFollowTheirRows();
    void onlyDeletingAllRowsResets();
    void iconsOnlyInTheFirstColumn();
    void selectionChangeIsSignalled();
    void modelTesterAcceptsEveryChange();
};

void TestListModelAdapter::headersAndCellsComeFromTheList() {
    ReportList list(columns());
    list.insertRows(0, {cells(u"/usr/bin/curl", u"2 KB", u"5 MB")}, {});
    ListModelAdapter model(list);
    QCOMPARE(model.columnCount(), 4);
    QCOMPARE(model.headerData(0, Qt::Horizontal).toString(), QStringLiteral("Application"));
    QCOMPARE(model.headerData(3, Qt::Horizontal).toString(), QStringLiteral("Host"));
    QVERIFY(!model.headerData(0, Qt::Vertical).isValid());
    QCOMPARE(model.index(0, 0).data().toString(), QStringLiteral("/usr/bin/curl"));
    QCOMPARE(model.index(0, 2).data().toString(), QStringLiteral("5 MB"));
    QVERIFY(!model.index(1, 0).isValid());
}

void TestListModelAdapter::insertsArriveAsRowInserts() {
    ReportList list(columns());
    ListModelAdapter model(list);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
    list.insertRows(0, {cells(u"a", u"1 B"), cells(u"b", u"2 B")}, {});
    list.insertRow(1, u"c");
    QCOMPARE(inserted.size(), 2);
    QCOMPARE(inserted[0][1].toInt(), 0);
    QCOMPARE(inserted[0][2].toInt(), 1);
    QCOMPARE(inserted[1][1].toInt(), 1);
    QCOMPARE(inserted[1][2].toInt(), 1);
    QCOMPARE(reset.size(), 0);
    QCOMPARE(columnTexts(model, 0), QStringList({"a", "c", "b"}));
}

void TestListModelAdapter::oneDataChangedPerFlush() {
    ReportList list(columns());
    list.insertRows(0, {cells(u"a", u"1 B"), cells(u"b", u"2 B"), cells(u"c", u"3 B"), cells(u"d", u"4 B")}, {});
    ListModelAdapter model(list);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    list.setText(2, 1, u"9 KB");
    list.setText(1, 2, u"8 KB");
    list.setText(3, 1, u"4 B");  // unchanged text: no change
    QCOMPARE(changed.size(), 0);
    list.flushChanges();
    QCOMPARE(changed.size(), 1);
    QCOMPARE(changed[0][0].toModelIndex(), model.index(1, 0));
    QCOMPARE(changed[0][1].toModelIndex(), model.index(2, 3));
    list.flushChanges();
    QCOMPARE(changed.size(), 1);
}

void TestListModelAdapter::sortIsALayoutChangeAndPersistentIndexesFollowTheirRows() {
    ReportList list(columns());
    list.insertRows(0, {cells(u"small", u"900 KB"), cells(u"large", u"2 MB"), cells(u"tiny", u"1000 B")}, {});
    ListModelAdapter model(list);
    QSignalSpy aboutToChange(&model, &QAbstractItemModel::layoutAboutToBeChanged);
    QSignalSpy changed(&model, &QAbstractItemModel::layoutChanged);
    QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
    const QPersistentModelIndex small(model.index(0, 2));
    const QPersistentModelIndex tiny(model.index(2, 0));
    list.sortByColumn(1);
    QCOMPARE(aboutToChange.size(), 1);
    QCOMPARE(changed.size(), 1);
    QCOMPARE(reset.size(), 0);
    QCOMPARE(columnTexts(model, 0), QStringList({"large", "small", "tiny"}));
    QCOMPARE(small.row(), 1);
    QCOMPARE(small.column(), 2);
    QCOMPARE(tiny.row(), 2);
    list.sortByColumn(0);
    QCOMPARE(columnTexts(model, 0), QStringList({"large", "small", "tiny"}));
    list.sortByColumn(3);
    QCOMPARE(small.data().toString(), QStringLiteral("0 B"));
    QCOMPARE(model.index(small.row(), 0).data().toString(), QStringLiteral("small"));
}

void TestListModelAdapter::onlyDeletingAllRowsResets() {
    ReportList list(columns());
    list.insertRows(0, {cells(u"a", u"1 B")}, {});
    ListModelAdapter model(list);
    QSignalSpy aboutToReset(&model, &QAbstractItemModel::modelAboutToBeReset);
    QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
    list.deleteAllRows();
    QCOMPARE(aboutToReset.size(), 1);
    QCOMPARE(reset.size(), 1);
    QCOMPARE(model.rowCount(), 0);
}

void TestListModelAdapter::iconsOnlyInTheFirstColumn() {
    ReportList list(columns());
    list.insertRows(0, {cells(u"with", u"1 B"), cells(u"without", u"1 B")}, {0, -1});
    ListModelAdapter model(list);
    QVERIFY(!model.index(0, 0).data(Qt::DecorationRole).isValid());
    QPixmap red(16, 16);
    red.fill(Qt::red);
    QList<int> asked;
    model.setImageSource([&](int image) {
        asked << image;
        return QIcon(red);
    });
    QVERIFY(model.index(0, 0).data(Qt::DecorationRole).canConvert<QIcon>());
    QVERIFY(!model.index(0, 1).data(Qt::DecorationRole).isValid());
    QVERIFY(!model.index(1, 0).data(Qt::DecorationRole).isValid());
    QCOMPARE(asked, QList<int>({0}));
}

void TestListModelAdapter::selectionChangeIsSignalled() {
    ReportList list(columns());
    list.insertRows(0, {cells(u"a", u"1 B"), cells(u"b", u"1 B")}, {});
    ListModelAdapter model(list);
    QSignalSpy selected(&model, &ListModelAdapter::selectedRowChanged);
    list.setSelectedRow(1);
    list.setSelectedRow(1);
    list.sortByColumn(0);
    list.setSelectedRow(std::nullopt);
    QCOMPARE(selected.size(), 2);
}

void TestListModelAdapter::modelTesterAcceptsEveryChange() {
    ReportList list(columns());
    ListModelAdapter model(list);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QItemSelectionModel selection(&model);
    for (int round = 0; round < 3; ++round) {
        list.insertRows(0, {cells(u"b", u"3 KB"), cells(u"a", u"1 MB")}, {0, 1});
        selection.setCurrentIndex(model.index(1, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        list.insertRow(0, u"c", 2);
        list.setText(0, 1, u"7 B");
        list.setText(2, 3, u"10.200.0.9");
        list.flushChanges();
        list.sortByColumn(1);
        QCOMPARE(selection.currentIndex().data().toString(), QStringLiteral("a"));
        list.sortByColumn(0);
        list.sortByColumn(3);
        list.deleteAllRows();
        QVERIFY(!selection.hasSelection());
    }
}

QTEST_MAIN(TestListModelAdapter)
#include "test_list_model_adapter.moc"
