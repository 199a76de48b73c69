#include "settings/CameraParamFile.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <nlohmann/json.hpp>
#include <variant>

namespace {

nlohmann::json toJson(const zelvan::ParameterValue& value) {
    return std::visit([](const auto& v) { return nlohmann::json(v); }, value);
}

}  // namespace

ParamFileError updateCameraParamFile(const QString& path, const std::string& toolKey, const std::string& name,
                                     const zelvan::ParameterValue& value) {
    nlohmann::json document = nlohmann::json::object();
    if (QFileInfo::exists(path)) {
        QFile in(path);
        if (!in.open(QIODevice::ReadOnly)) {
            qWarning().noquote() << "Cannot read" << path + ":" << in.errorString();
            return ParamFileError::CannotRead;
        }
        const QByteArray text = in.readAll();
        try {
            document = nlohmann::json::parse(text.constData(), text.constData() + text.size());
        } catch (const nlohmann::json::parse_error& e) {
            qWarning().noquote() << "JSON 解析失败:" << e.what() << "at offset" << e.byte;
            return ParamFileError::NotJson;
        }
        if (!document.is_object()) {
            qWarning().noquote() << "JSON 根不是一个对象，无法写入:" << path;
            return ParamFileError::RootNotObject;
        }
    }
    auto member = document.find(toolKey);
    if (member == document.end()) {
        qInfo().noquote() << "根字段不存在，将自动创建:" << QString::fromStdString(toolKey);
        member = document.emplace(toolKey, nlohmann::json::object()).first;
    } else if (!member->is_object()) {
        qWarning().noquote() << QString::fromStdString("字段 '" + toolKey +
                                                       "' 不是一个 JSON 对象，无法写入子键");
        return ParamFileError::MemberNotObject;
    }
    const nlohmann::json entry = toJson(value);
    (*member)[name] = entry;

    const std::string text = document.dump(4) + "\n";
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly) ||
        out.write(text.data(), qint64(text.size())) != qint64(text.size()) || !out.commit()) {
        qWarning().noquote() << "Cannot write" << path + ":" << out.errorString();
        return ParamFileError::CannotWrite;
    }
    qInfo().noquote() << QString::fromStdString("Update JSON: [" + toolKey + "][" + name +
                                                "] = " + entry.dump());
    return ParamFileError::None;
}
