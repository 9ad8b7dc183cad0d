// The window end to end against the throwaway MariaDB server that
// scripts/run-tests.sh starts, by the native engine's host and by MariaDB's
// ODBC driver: Read, edit, Update through the real Form1, a refused row, a
// table that cannot roll back, and the table-list button.

#include "form_fixture.h"
#include "tests/my_test_env.h"

#include "db/dialect.h"
#include "db/error.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

#include <unistd.h>

using namespace velkin;
using namespace velkin::testing;
using velkin::test::MyAdmin;

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

class MyWindowTest : public FormTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        FormTest::SetUp();
        ASSERT_FALSE(test::MyUri().empty()) << test::kMyMissingServer;
        admin_ = std::make_unique<MyAdmin>();
        form().TXT_USER->setText(Q(test::MyEnv("VELKIN_MY_USER")));
        form().TXT_PASS->setText(Q(test::MyEnv("VELKIN_MY_PASSWORD")));
        form().TXT_HOST->setText(Q(native() ? test::MyUri() : test::MyOdbcHost()));
    }
    void TearDown() override {
        // Newest first: a table whose key refers to an older one goes before it.
        if (admin_)
            for (auto table = dropAtEnd_.rbegin(); table != dropAtEnd_.rend(); ++table)
                admin_->Exec("DROP TABLE IF EXISTS \"" + *table + "\"");
        FormTest::TearDown();
    }

    bool native() const { return GetParam(); }

    std::string MakeTable(const std::string& name, const std::string& columns, const std::string& engine = "InnoDB") {
        const std::string table = name + (native() ? "_n" : "_o") + std::to_string(getpid());
        admin_->Exec("DROP TABLE IF EXISTS \"" + table + "\"");
        admin_->Exec("CREATE TABLE \"" + table + "\" (" + columns + ") ENGINE=" + engine);
        dropAtEnd_.push_back(table);
        return table;
    }

    void read(const std::string& table) {
        form().Option1[0]->click();
        form().TXT_TABLE->setText(Q("\"" + table + "\""));
        boxes_.boxes.clear();
        form().CMD_Read->click();
        ASSERT_TRUE(reports().empty()) << reports()[0].text.toStdString();
    }

    std::unique_ptr<MyAdmin> admin_;
    std::vector<std::string> dropAtEnd_;
};

INSTANTIATE_TEST_SUITE_P(Routes, MyWindowTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Native" : "Odbc"; });

TEST_P(MyWindowTest, ReadEditAndUpdateKeepEveryValueWithJapaneseNames) {
    const std::string t = MakeTable("社員",
        "\"番号\" INT NOT NULL PRIMARY KEY, \"氏名\" VARCHAR(20), \"区分\" CHAR(2), \"給与\" DECIMAL(9,2), "
        "\"入社日\" DATE, \"備考\" TEXT");
    admin_->Exec("INSERT INTO \"" + t + "\" VALUES (2, '鈴木', 'B', 300000.50, NULL, 'x'), "
                 "(1, '山田 ''太郎''', 'A', 250000, '2020-04-01', 'back\\\\slash \" quote')");
    read(t);
    EXPECT_EQ(gridRow(1), (std::vector<QString>{"番号", "氏名", "区分", "給与", "入社日", "備考"}));
    EXPECT_EQ(cell(2, 1), "NUMBER(10)");
    EXPECT_EQ(cell(2, 3), "CHAR(2)");
    EXPECT_EQ(cell(2, 4), "NUMBER(9.2)");
    EXPECT_EQ(cell(2, 5), "DATE(8)");
    // Ordered by the NOT NULL column.
    EXPECT_EQ(gridRow(3), (std::vector<QString>{"1", "山田 '太郎'", "A ", "250000", "20200401", "back\\slash \" quote"}));
    EXPECT_EQ(gridRow(4), (std::vector<QString>{"2", "鈴木", "B ", "300000.5", "", "x"}));
    ASSERT_TRUE(form().CMD_Update->isEnabled());

    setCell(4, 5, "20240229");
    setCell(5, 1, "3");
    setCell(5, 2, "新人");
    update();
    ASSERT_TRUE(reports().empty()) << reports()[0].text.toStdString();
    EXPECT_EQ(admin_->Column("SELECT CONCAT_WS('/', \"番号\", \"氏名\", \"区分\", \"給与\", COALESCE(\"入社日\", '-'), \"備考\") "
                             "FROM \"" + t + "\" ORDER BY 1"),
              "1/山田 '太郎'/A/250000.00/2020-04-01/back\\slash \" quote|2/鈴木/B/300000.50/2024-02-29/x|3/新人//0.00/-/");
}

TEST_P(MyWindowTest, RefusedRowRollsBackAndTurnsRed) {
    const std::string t = MakeTable("refused", "id INT NOT NULL PRIMARY KEY, code VARCHAR(3)");
    admin_->Exec("INSERT INTO " + t + " VALUES (1, 'a'), (2, 'b'), (3, 'c')");
    read(t);
    setCell(4, 2, "toolong");
    update();
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_TRUE(reports()[0].text.contains("code")) << reports()[0].text.toStdString();
    EXPECT_EQ(redRows(), std::vector<int32_t>{4});
    EXPECT_EQ(cell(4, 2), "toolong") << "the grid keeps what was typed";
    EXPECT_EQ(admin_->Column("SELECT code FROM " + t + " ORDER BY id"), "a|b|c");

    setCell(4, 2, "ok");
    update();
    EXPECT_TRUE(reports().empty());
    EXPECT_EQ(admin_->Column("SELECT code FROM " + t + " ORDER BY id"), "a|ok|c");
}

TEST_P(MyWindowTest, TableThatCannotRollBackIsLeftAlone) {
    const std::string t = MakeTable("plain", "id INT NOT NULL, code VARCHAR(3)", "MyISAM");
    admin_->Exec("INSERT INTO " + t + " VALUES (1, 'a'), (2, 'b')");
    read(t);
    setCell(3, 2, "new");
    update();
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_TRUE(reports()[0].text.contains("MyISAM")) << reports()[0].text.toStdString();
    EXPECT_TRUE(redRows().empty());
    EXPECT_EQ(admin_->Column("SELECT code FROM " + t + " ORDER BY id"), "a|b");
}

// The SET NULL key refers to a UNIQUE key, not the primary key.
TEST_P(MyWindowTest, KeysOfOtherTablesThatCascadeOrSetNullRefuseTheUpdate) {
    const std::string t = MakeTable("parent", "id INT NOT NULL PRIMARY KEY, code VARCHAR(3) UNIQUE");
    const std::string kids = MakeTable("kids", "p INT, FOREIGN KEY (p) REFERENCES \"" + t + "\" (id) ON DELETE CASCADE");
    const std::string notes =
        MakeTable("notes", "c VARCHAR(3), FOREIGN KEY (c) REFERENCES \"" + t + "\" (code) ON DELETE SET NULL");
    admin_->Exec("INSERT INTO \"" + t + "\" VALUES (1, 'a'), (2, 'b')");
    admin_->Exec("INSERT INTO \"" + kids + "\" VALUES (1)");
    admin_->Exec("INSERT INTO \"" + notes + "\" VALUES ('b')");
    read(t);
    setCell(3, 2, "new");
    update();
    ASSERT_EQ(reports().size(), 1u);
    const QString text = reports()[0].text;
    EXPECT_TRUE(text.startsWith(QStringLiteral("Error Code:%1\r\n").arg(Error::kDeleteReachesOtherTables)))
        << text.toStdString();
    EXPECT_TRUE(text.endsWith(Q(": " + kids + " (CASCADE), " + notes + " (SET NULL)"))) << text.toStdString();
    EXPECT_TRUE(redRows().empty());
    EXPECT_EQ(admin_->Column("SELECT code FROM \"" + t + "\" ORDER BY id"), "a|b");
    EXPECT_EQ(admin_->Column("SELECT p FROM \"" + kids + "\"") + admin_->Column("SELECT c FROM \"" + notes + "\""), "1b");
}

TEST_P(MyWindowTest, TableListButtonGivesTheServersQuery) {
    const std::string t = MakeTable("listed", "id INT");
    form().CMD_SerchTab->click();
    EXPECT_TRUE(form().Option1[1]->isChecked());
    EXPECT_EQ(form().TXT_SQL->toPlainText().remove(QLatin1Char('\r')),
              Dialect(DialectKind::MySQL).tableListQuery().remove(QLatin1Char('\r')));
    boxes_.boxes.clear();
    form().CMD_Read->click();
    ASSERT_TRUE(reports().empty()) << reports()[0].text.toStdString();
    bool found = false;
    for (int32_t r = 3; r <= grid().lastDataRow(); ++r) found = found || cell(r, 1) == Q(t);
    EXPECT_TRUE(found);

    // The button never logs on: a wrong password changes nothing and shows nothing.
    form().TXT_PASS->setText("wrong");
    boxes_.boxes.clear();
    form().CMD_SerchTab->click();
    EXPECT_EQ(form().TXT_SQL->toPlainText().remove(QLatin1Char('\r')),
              Dialect(DialectKind::MySQL).tableListQuery().remove(QLatin1Char('\r')));
    EXPECT_TRUE(boxes_.boxes.empty());
}

}  // namespace
