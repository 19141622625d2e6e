// Helpers of the klov end-to-end tests: environments, outcomes for failure messages, JSON.
#pragma once

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonValue>
#include <string>

#include "run_klov.h"

namespace clitest {

inline Env With(Env env, const std::string& name, const std::string& value) {
    env.emplace_back(name, value);
    return env;
}

inline std::string Describe(const Outcome& r) {
    return "exit " + std::to_string(r.code) + "\n--- stdout\n" + r.out + "--- stderr\n" + r.err;
}

inline QJsonDocument Json(const std::string& text) {
    QJsonParseError error{};
    QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << text;
    return doc;
}

inline std::string Str(const QJsonValue& v) {
    return v.toString().toStdString();
}

}  // namespace clitest
