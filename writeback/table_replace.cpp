#include "writeback/table_replace.h"

#include "db/error.h"
#include "grid/grid.h"
#include "grid/grid_prepare.h"
#include "shell/common1.h"
#include "shell/main_window.h"
#include "shell/message_box.h"
#include "writeback/literals.h"
#include "writeback/table_snapshot.h"

#include <QApplication>
#include <QLineEdit>
#include "shell/progress_bar.h"
#include <QPushButton>

#include <optional>

using namespace velkin;

namespace {

bool BlankFirstCell(const QString& text) {
    for (QChar ch : text)
        if (ch != QLatin1Char(' ')) return false;
    return true;
}

void MarkFailedRow(SpreadGrid& grid, int32_t row) {
    grid.setCurrentRow(row);
    grid.setBlockEndRow(row);
    grid.setCurrentColumn(1);
    grid.setBlockEndColumn(grid.columnCount());
    grid.setBlockMode(true);
    grid.setBackColor(GridColor::kRed);
    grid.setBlockMode(false);
    // The user must see which row failed, wherever the view stood.
    grid.revealRow(row);
}

// The replace's DELETE. When the database refuses it for a broken
// constraint (SQLSTATE class 23; SQLite gives none), a foreign key of another
// table (NO ACTION or RESTRICT) still points at a row, so the report names
// the tables that refer to this one. The catalogue is read after the
// rollback: PostgreSQL runs nothing more in a transaction once a statement
// failed. The failure handler's own rollback then finds nothing to undo.
void DeleteEveryRow(EngineSession& session, OraDatabase& database, const Dialect& dialect, const QString& table) {
    try {
        database.ExecuteSQL(dialect.deleteAll(table));
    } catch (const Error& error) {
        if (!error.SqlState().isEmpty() && !error.SqlState().startsWith(QLatin1String("23"))) throw;
        try {
            session.rollback();
        } catch (const std::exception&) {
            throw error;  // the connection is gone: no catalogue to read
        }
        const QString note = session.ReferringTablesNote(table);
        if (note.isEmpty()) throw;
        throw Error(error.Number(), error.Description() + QStringLiteral("\r\n") + note, error.SqlState());
    }
}

}  // namespace

// The one failure handler of the replace: undo, mark the row being written, report.
void Form1::failReplace(const Error& error, int32_t rowInProgress) {
    try {
        Common1::Connection.Session->rollback();
    } catch (const std::exception&) {
        // A lost connection has already discarded the transaction on the server.
    }
    if (rowInProgress > 0) MarkFailedRow(*SPD1, rowInProgress);
    ShowErrorReport(ErrorReportKind::Command, error);
}

void Form1::FL_UPDATE() {
    FL_InitColor();
    if (ShowMessage({kReplaceQuestion, kReplaceQuestionTitle, MessageButtons::YesNo, MessageAnswer::Yes}) !=
        MessageAnswer::Yes)
        return;

    SpreadGrid& grid = *SPD1;
    // The replace can take a while on a large grid; the user must see that it works.
    QApplication::setOverrideCursor(Qt::WaitCursor);
    ProgBar1->setValue(0);
    const int32_t lastRow = grid.lastDataRow();
    if (lastRow > 2) {
        ProgBar1->setMinimum(0);
        ProgBar1->setMaximum(lastRow - 2);
    } else {
        ProgBar1->setMinimum(0);
        ProgBar1->setMaximum(1);
        ProgBar1->setValue(1);
    }

    using Common1::Connection;
    if (Common1::ConnectDatabase(Connection, TXT_USER->text(), TXT_PASS->text(), TXT_HOST->text())) {
        closeCommand();
        return;
    }

    int32_t rowInProgress = 0;  // the data row being written; 0 outside the row loop
    try {
        EngineSession& session = *Connection.Session;
        OraDatabase& database = *Connection.Database;
        const QString table = TXT_TABLE->text();

        const Dialect dialect = session.dialect();
        const DateLiteralForm dateForm = dialect.dateLiteralForm();
        session.BeginTrans();
        session.RequireTransactionalTable(table);
        session.RequireNoDestructiveReferences(table);
        // In the replace's own transaction, right before the DELETE: the rows it is about to remove.
        std::optional<TableSnapshot> snapshot;
        if (Common1::KeepSnapshots) snapshot.emplace(database, dialect, table);
        DeleteEveryRow(session, database, dialect, table);

        const QString head = QStringLiteral("INSERT INTO ") + table + QStringLiteral(" (");
        QString columnList;
        const int32_t columns = grid.columnCount();
        for (int32_t c = 1; c <= columns; ++c) {
            if (static_cast<size_t>(c - 1) >= COL_Name.size()) throw Error::SubscriptOutOfRange();
            if (c > 1) columnList += QLatin1Char(',');
            columnList += QuotedIdentifier(COL_Name[static_cast<size_t>(c - 1)]);
        }
        columnList += QStringLiteral(") VALUES (");
        const QString statementStart = head + columnList;
        // One buffer for every row's statement: it keeps its capacity from row to row.
        QString statement;

        for (int32_t r = kFirstDataRow; r <= lastRow; ++r) {
            rowInProgress = r;
            grid.setCurrentRow(r);
            grid.setCurrentColumn(1);
            if (BlankFirstCell(grid.cellText())) continue;

            statement.resize(0);
            statement += statementStart;
            const int32_t rowColumns = grid.columnCount();
            for (int32_t c = 1; c <= rowColumns; ++c) {
                grid.setCurrentColumn(c);
                if (c > 1) statement += QLatin1Char(',');
                if (static_cast<size_t>(c - 1) >= COL_Type.size()) throw Error::SubscriptOutOfRange();
                AppendCellLiteral(statement, COL_Type[static_cast<size_t>(c - 1)], grid.cellText(), dateForm);
            }
            statement += QStringLiteral(") ");
            database.ExecuteSQL(statement);
            ProgBar1->setValue(r - 2);
        }
        rowInProgress = 0;

        session.CommitTrans();
        if (snapshot) snapshot->keep();
        FL_InitSpd();
    } catch (const Error& error) {
        failReplace(error, rowInProgress);
    } catch (const std::exception& error) {
        // Out of memory and the like: still rolled back, reported and marked.
        failReplace(Error(-1, QString::fromLocal8Bit(error.what())), rowInProgress);
    }
    closeCommand();
}
