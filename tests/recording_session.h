#pragma once
// A stand-in for an Oracle session that records every call, to check the exact
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
    int32_t code = OraType::kVarchar2;
    int32_t size = 10;
    int32_t scale = 0;
    bool nullOk = true;
};

struct Script {
    std::vector<ScriptedColumn> columns;
    std::vector<std::vector<std::optional<QString>>> rows;
    int failExecuteAt = -1;  // index into the ExecuteSQL calls that throws; -1: none
    bool failCommit = false;
    bool listsReferringKeys = true;
    QStringList calls;       // "OpenDatabase host|user/pass", "Dynaset sql", "Execute sql", "BeginTrans", ...
};

class ScriptedDynaset final : public OraDynaset, public OraFields {
public:
    explicit ScriptedDynaset(Script& script) : script_(script) {
        for (size_t j = 0; j < script.columns.size(); ++j) fields_.emplace_back(*this, j);
    }
    OraFields& Fields() override { return *this; }
    int32_t RecordCount() override { return static_cast<int32_t>(script_.rows.size()); }
    void MoveFirst() override { row_ = 0; }
    void MoveNext() override { ++row_; }
    bool Eof() const override { return row_ >= script_.rows.size(); }
    int16_t Count() const override { return static_cast<int16_t>(fields_.size()); }
    OraField& Item(int32_t index) override {
        if (index < 0 || static_cast<size_t>(index) >= fields_.size()) throw Error::SubscriptOutOfRange();
        return fields_[static_cast<size_t>(index)];
    }

private:
    class Field final : public OraField {
    public:
        Field(ScriptedDynaset& set, size_t column) : set_(set), column_(column) {}
        const ScriptedColumn& c() const { return set_.script_.columns[column_]; }
        QString Name() const override { return c().name; }
        int32_t OraIDataType() const override { return c().code; }
        int32_t Size() const override { return c().size; }
        int32_t OraScale() const override { return c().scale; }
        bool OraNullOK() const override { return c().nullOk; }
        std::optional<QString> Value() const override { return set_.script_.rows[set_.row_][column_]; }

    private:
        ScriptedDynaset& set_;
        size_t column_;
    };

    Script& script_;
    std::vector<Field> fields_;
    size_t row_ = 0;
};

class RecordingDatabase final : public OraDatabase {
public:
    explicit RecordingDatabase(Script& script) : script_(script) {}
    int64_t ExecuteSQL(const QString& sql) override {
        script_.calls << QStringLiteral("Execute ") + sql;
        if (executed_++ == script_.failExecuteAt) throw Error(1, QStringLiteral("ORA-00001: unique constraint violated"));
        return 1;
    }
    std::unique_ptr<OraDynaset> DbCreateDynaset(const QString& sql, int32_t options) override {
        script_.calls << QStringLiteral("Dynaset %1 %2").arg(options).arg(sql);
        return std::make_unique<ScriptedDynaset>(script_);
    }

private:
    Script& script_;
    int executed_ = 0;
};

class RecordingSession final : public EngineSession {
public:
    explicit RecordingSession(Script& script) : script_(script) {}
    std::unique_ptr<OraDatabase> OpenDatabase(const QString& host, const QString& connect, int32_t options) override {
        script_.calls << QStringLiteral("OpenDatabase %1|%2|%3").arg(host, connect).arg(options);
        return std::make_unique<RecordingDatabase>(script_);
    }
    void BeginTrans() override { script_.calls << QStringLiteral("BeginTrans"); }
    void CommitTrans() override {
        script_.calls << QStringLiteral("CommitTrans");
        if (script_.failCommit) throw Error(2091, QStringLiteral("ORA-02091: transaction rolled back"));
    }
    void rollback() override { script_.calls << QStringLiteral("rollback"); }
    Dialect dialect() const override { return Dialect(DialectKind::Oracle); }
    bool ListsReferringKeys() const override { return script_.listsReferringKeys; }

private:
    Script& script_;
};

}  // namespace velkin::testing
