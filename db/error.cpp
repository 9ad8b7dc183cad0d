#include "db/error.h"

namespace velkin {

Error::Error(int32_t number, QString description, QString sqlState)
    : number_(number), description_(std::move(description)), sqlState_(std::move(sqlState)),
      utf8_(QStringLiteral("%1: %2").arg(number_).arg(description_).toStdString()) {}

Error Error::Overflow() { return Error(kOverflow, QStringLiteral("オーバーフローしました。")); }

Error Error::SubscriptOutOfRange() {
    return Error(kSubscriptOutOfRange, QStringLiteral("インデックスが有効範囲にありません。"));
}

Error Error::TypeMismatch() { return Error(kTypeMismatch, QStringLiteral("型が一致しません。")); }

Error Error::CannotCreateObject(const QString& detail) {
    return Error(kCannotCreateObject,
                 QStringLiteral("コンポーネントはオブジェクトを作成できません。") +
                     (detail.isEmpty() ? QString() : QStringLiteral("\r\n") + detail));
}

Error Error::StringRulesNotPinned(const QString& parameter, const QString& wanted, const QString& reported,
                                  const QString& serverWords) {
    QString description =
        QStringLiteral("サーバーの %1 を %2 にできないため、この接続は使いません（サーバーの値: %3）。"
                       "このままでは値の中の \\ が文字列の終わりとして読まれ、値が SQL として実行されるおそれがあります。")
            .arg(parameter, wanted, reported.isEmpty() ? QStringLiteral("不明") : reported);
    if (!serverWords.isEmpty()) description += QStringLiteral("\r\n") + serverWords;
    return Error(kStringRulesNotPinned, description);
}

QString SessionFaultText(SessionFault fault) {
    switch (fault) {
    case SessionFault::NotConnected: return QStringLiteral("データベースに接続されていません。");
    case SessionFault::AlreadyBegun: return QStringLiteral("トランザクションは既に開始されています。");
    case SessionFault::NotBegun: return QStringLiteral("トランザクションが開始されていません。");
    }
    return QString();
}

}  // namespace velkin
