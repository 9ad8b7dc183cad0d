#pragma once
// A stand-in for an Oracle connection that records every call, to check the exact
// statement texts the commands send to an engine that cannot run here.
// Every query answers with the same scripted result.

#include "db/engine.h"
#include "db/error.h"

#include <QStringList>
#include <optional>
#include <vector>

namespace velkin::testing {

struct ScriptedColumn {
    QString name;
    ColumnKind kind = ColumnKind::Text;
    int32_t size = 10;
    int32_t scale = 0;
    bool nullOk = true;
};

struct Script {
    std::vector<ScriptedColumn> columns;
    std::vector<std::vector<std::optional<QString>>> rows;
    int failExecuteAt = -1;  // index into the execute calls that throws; -1: none
    bool failCommit = false;
    bool listsReferringKeys = true;
    TableKey key;               // what tableKey answers
    int64_t rowsPerStatement = 1;  // what each execute answers
    QStringList calls;       // "Open host|user/pass|no-wait", "Cursor keep-blanks sql", "Execute sql", "Begin", ...
};

class ScriptedCursor final : public Cursor {
public:
    explicit ScriptedCursor(Script& script) : script_(script) {
        for (const ScriptedColumn& c : script.columns) columns_.push_back({c.name, c.kind, c.size, c.scale, c.nullOk, {}});
    }
    int32_t size() override { return static_cast<int32_t>(script_.rows.size()); }
    void first() override { row_ = 0; }
    void next() override { ++row_; }
    bool atEnd() const override { return row_ >= script_.rows.size(); }

protected:
    std::optional<QString> valueAt(size_t index) const override { return script_.rows[row_][index]; }

private:
    Script& script_;
    size_t row_ = 0;
};

class RecordingConnection final : public Connection {
public:
    explicit RecordingConnection(Script& script) : script_(script) {}
    void open(const QString& host, const QString& connect, OpenOption option) override {
        script_.calls << QStringLiteral("Open %1|%2|%3")
                             .arg(host, connect, option == OpenOption::NoLockWait ? QStringLiteral("no-wait")
                                                                                  : QStringLiteral("wait"));
    }
    int64_t execute(const QString& sql) override {
        script_.calls << QStringLiteral("Execute ") + sql;
        if (executed_++ == script_.failExecuteAt) throw Error(1, QStringLiteral("ORA-00001: unique constraint violated"));
        return script_.rowsPerStatement;
    }
    std::unique_ptr<Cursor> openCursor(const QString& sql, CursorOption option) override {
        script_.calls << QStringLiteral("Cursor %1 %2")
                             .arg(option == CursorOption::KeepTrailingBlanks ? QStringLiteral("keep-blanks")
                                                                              : QStringLiteral("strip-blanks"),
                                  sql);
        return std::make_unique<ScriptedCursor>(script_);
    }
    TableKey tableKey(const QString&, const Cursor&) override { return script_.key; }
    void begin() override { script_.calls << QStringLiteral("Begin"); }
    void commit() override {
        script_.calls << QStringLiteral("Commit");
        if (script_.failCommit) throw Error(2091, QStringLiteral("ORA-02091: transaction rolled back"));
    }
    void rollback() override { script_.calls << QStringLiteral("Rollback"); }
    Dialect dialect() const override { return Dialect(DialectKind::Oracle); }
    bool hasFeature(Feature feature) const override {
        return feature != Feature::ListsReferringKeys || script_.listsReferringKeys;
    }

private:
    Script& script_;
    int executed_ = 0;
};

}  // namespace velkin::testing
