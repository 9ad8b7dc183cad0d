// The window end to end against the throwaway MariaDB server that
// scripts/run-tests.sh starts, by the native engine's host and by MariaDB's
// ODBC driver: Read, edit, Update through the real Form1 with Japanese names,
// and a table that cannot roll back. The refusals every database makes are in
// window_contract_test.cpp.

#include "form_fixture.h"
#include "tests/my_test_env.h"

#include <QPushButton>

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
        login(Q(native() ? test::MyUri() : test::MyOdbcHost()), Q(test::MyEnv("VELKIN_MY_USER")),
              Q(test::MyEnv("VELKIN_MY_PASSWORD")));
    }
    void TearDown() override {
        if (admin_)
            for (const std::string& table : dropAtEnd_) admin_->Exec("DROP TABLE IF EXISTS \"" + table + "\"");
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

    // Quoted: the names may be Japanese.
    void readQuoted(const std::string& table) { read(Q("\"" + table + "\"")); }

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
    readQuoted(t);
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

TEST_P(MyWindowTest, TableThatCannotRollBackIsLeftAlone) {
    const std::string t = MakeTable("plain", "id INT NOT NULL, code VARCHAR(3)", "MyISAM");
    admin_->Exec("INSERT INTO " + t + " VALUES (1, 'a'), (2, 'b')");
    readQuoted(t);
    setCell(3, 2, "new");
    update();
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_TRUE(reports()[0].text.contains("MyISAM")) << reports()[0].text.toStdString();
    EXPECT_TRUE(redRows().empty());
    EXPECT_EQ(admin_->Column("SELECT code FROM " + t + " ORDER BY id"), "a|b");
}

}  // namespace
