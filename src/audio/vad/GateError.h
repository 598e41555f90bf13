#pragma once

#include "common/Error.h"

namespace murmurly {

// The VAD gate's own failures. They carry no text of their own: the description is the generic
// "operation couldn't be completed" form with the case's code, which is what ends up in the log.
class GateError : public ErrorBase<GateError> {
public:
    enum class Code {
        // No model file where the application looks for one.
        modelPackageMissing = 0,
        // An expected model output is missing or shorter than the gate needs.
        modelOutputInvalid = 1,
    };

    explicit GateError(Code code)
        : m_code(code) {}

    Code code() const { return m_code; }

    QString description() const override {
        return QStringLiteral("The operation couldn’t be completed. (murmurly.GateError error %1.)")
            .arg(static_cast<int>(m_code));
    }

private:
    Code m_code;
};

} // namespace murmurly
