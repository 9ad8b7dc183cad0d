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

}  // namespace velkin
