#pragma once
// A result set streamed from a MySQL or MariaDB server one row at a time: the
// client holds one row, the record count is the server's COUNT(*) of the query
// taken in the same snapshot (see my_session.h), and another command on the
// connection first drains the stream, which the cursor then runs again.

#include "db/mysql/my_connection.h"
#include "db/session.h"
#include "db/value_forms.h"

#include <limits>

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace velkin::my {

// A value the cell text alone cannot say exactly comes with a second
// expression of the same column (its companion), fetched beside it:
//   Instant   a TIMESTAMP: its instant (UNIX_TIMESTAMP) where the session's
//             time zone would read its text as another (the hour a clock
//             change repeats), else NULL;
//   Outside   an ENUM: 1 for a value outside its definition (index 0), else NULL;
//   Single    a FLOAT: the value as a double where the server's text (six
//             digits) reads back as another FLOAT, else NULL.
enum class Companion : uint8_t { None, Instant, Outside, Single };

// What the cursor keeps of a column besides its description.
struct Column {
    ColumnType type;
    bool date = false;      // DATE, DATETIME or TIMESTAMP: may hold a zero date
    Companion companion = Companion::None;
    size_t companionAt = 0;  // its index in the row
};

// A result set streamed from the server one row at a time.
class MyCursor final : public Cursor {
public:
    MyCursor(std::shared_ptr<MyConnection> connection, const QString& sql, bool keepTrailingBlanks);

    ~MyCursor() override { Close(); }

    int32_t size() override {
        return RowCount(count_);
    }

    void first() override {
        if (position_ == 0 && !eof_) return;  // on the first record already
        Execute();
        Fetch();
    }

    void next() override {
        if (eof_) return;
        if (!stream_) Resume();
        Fetch();
    }

    bool atEnd() const override { return eof_; }

    // Called by the connection before it sends anything else: the rest of the
    // stream is drained, and the current record kept for the fields.
    void Suspend();

    // The current record's bytes at `index` of the row; nullopt for NULL.
    std::optional<std::string_view> Raw(size_t index) const;

    // The one table behind every column of a query the program builds
    // (SELECT * FROM table ...), whose key the opening round trip asked for,
    // known once the rows have ended (MyConnection::tableKeys); nullopt for
    // any other query.
    const std::optional<BaseTable>& wholeTable() const { return wholeTable_; }

protected:
    std::optional<ExactValue> exactAt(size_t index) const override;
    std::optional<QString> valueAt(size_t index) const override;
    std::optional<std::string_view> utf8ValueAt(size_t index, std::string& scratch) const override;

private:
    // Runs the query and starts streaming its rows, before the first record.
    void Execute() {
        connection_->Send(sql_);
        StartStream();
    }

    // Streams the rows of the query whose answer has just come.
    void StartStream();

    // Runs the query again after another command drained it, and moves to the
    // record it stood on. Inside the snapshot the rows come back the same.
    void Resume();

    void Fetch();

    // Lets the rest of the rows go, then reads the key query's answer if it
    // is still to come.
    void EndStream();

    // Drops the connection (MyConnection::Abandon), and the answers still to come with it.
    void Abandon();

    // The transaction's opening statements, the count and the query itself go
    // in one round trip, their answers read in turn. The server counts the
    // query as a subquery, without sending its rows; a statement that cannot
    // be one (SHOW, say) is counted through its own rows, and run again.
    // `keyQuery`, when not empty, goes after the query, and its answer to
    // the connection's tableKeys.
    void Open(const std::vector<QByteArray>& opening, const QByteArray& keyQuery, MyConnection::Setup setup);

    // Takes what is known of the query's columns: the table behind them, the
    // companions (sql_ changes to fetch them) and the key query to send with
    // the opening, if any. Leaves the description for the next cursor over
    // the same table.
    QByteArray Plan(DescribedTable known);

    // The columns of the result now streaming.
    void DescribeColumns();

    // Reads the answer to the key query sent after the query, if still to
    // come, into the connection's tableKeys.
    void ReadKeyFacts();

    // Never throws: it runs from the destructor and from a failed constructor.
    void Close() noexcept;

    std::shared_ptr<MyConnection> connection_;
    QByteArray sql_;
    bool keepTrailingBlanks_;
    bool companions_ = false;  // sql_ fetches companions after the columns
    size_t width_ = 0;         // values in a row, companions included
    std::vector<Column> kept_;  // beside each column's description
    int64_t count_ = 0;
    std::optional<BaseTable> wholeTable_;
    bool keyPending_ = false;  // the key query's answer follows the rows

    ResultPtr stream_;
    MYSQL_ROW row_ = nullptr;
    unsigned long* lengths_ = nullptr;
    std::vector<std::optional<QByteArray>> held_;  // the current record once the stream is drained
    int64_t position_ = -1;  // index of the current record
    bool eof_ = true;
};

// The facts of a key query's answer (Dialect::mysqlKeyIndexesQuery).
TableKeyFacts KeyFactsOf(MYSQL_RES* answer);

}  // namespace velkin::my
