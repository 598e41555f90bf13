#include "audio/vad/SileroWeights.h"

#include "audio/vad/GateError.h"

#include <onnx/onnx_pb.h>

#include <QFile>
#include <QFileInfo>

#include <bit>
#include <cstring>
#include <functional>
#include <map>

namespace murmurly {

static_assert(std::endian::native == std::endian::little, "ONNX raw tensor data is little-endian");

namespace {

// Name of the basis tensor that marks the 16 kHz branch; the other tensors share its prefix
// (the exporter prefixes every constant of an inlined branch with the branch's name).
constexpr const char* basisName = "stft.forward_basis_buffer";

using TensorIndex = std::multimap<std::string, const onnx::TensorProto*, std::less<>>;

// Every constant tensor of the graph and of its nested branches, by name: initializers and the
// outputs of Constant nodes (the form the exporter uses inside If branches).
void indexTensors(const onnx::GraphProto& graph, TensorIndex& index) {
    for (const auto& tensor : graph.initializer()) {
        index.emplace(tensor.name(), &tensor);
    }
    for (const auto& node : graph.node()) {
        for (const auto& attribute : node.attribute()) {
            if (node.op_type() == "Constant" && attribute.name() == "value" && attribute.has_t() &&
                node.output_size() == 1) {
                index.emplace(node.output(0), &attribute.t());
            }
            if (attribute.has_g()) {
                indexTensors(attribute.g(), index);
            }
            for (const auto& subgraph : attribute.graphs()) {
                indexTensors(subgraph, index);
            }
        }
    }
}

QString shapeText(const std::vector<std::int64_t>& dims) {
    QStringList parts;
    for (auto d : dims) {
        parts << QString::number(d);
    }
    return QLatin1Char('[') + parts.join(QStringLiteral(", ")) + QLatin1Char(']');
}

class Reader {
public:
    Reader(const TensorIndex& index, std::string prefix, QString origin)
        : m_index(index)
        , m_prefix(std::move(prefix))
        , m_origin(std::move(origin)) {}

    std::vector<float> read(const std::string& name, const std::vector<std::int64_t>& shape) const {
        const auto found = m_index.find(m_prefix + name);
        if (found == m_index.end()) {
            fail(QStringLiteral("tensor %1 is missing").arg(QString::fromStdString(name)));
        }
        const onnx::TensorProto& tensor = *found->second;
        const std::vector<std::int64_t> dims(tensor.dims().begin(), tensor.dims().end());
        if (dims != shape) {
            fail(QStringLiteral("tensor %1 has shape %2, expected %3")
                     .arg(QString::fromStdString(name), shapeText(dims), shapeText(shape)));
        }
        if (tensor.data_type() != onnx::TensorProto::FLOAT) {
            fail(QStringLiteral("tensor %1 is not 32-bit float").arg(QString::fromStdString(name)));
        }
        std::size_t count = 1;
        for (auto d : shape) {
            count *= static_cast<std::size_t>(d);
        }
        std::vector<float> values(count);
        if (tensor.has_raw_data()) {
            if (tensor.raw_data().size() != count * sizeof(float)) {
                fail(QStringLiteral("tensor %1 holds %2 bytes, expected %3")
                         .arg(QString::fromStdString(name))
                         .arg(tensor.raw_data().size())
                         .arg(count * sizeof(float)));
            }
            std::memcpy(values.data(), tensor.raw_data().data(), count * sizeof(float));
        } else if (static_cast<std::size_t>(tensor.float_data_size()) == count) {
            std::copy(tensor.float_data().begin(), tensor.float_data().end(), values.begin());
        } else {
            fail(QStringLiteral("tensor %1 holds %2 values, expected %3")
                     .arg(QString::fromStdString(name))
                     .arg(tensor.float_data_size())
                     .arg(count));
        }
        return values;
    }

    [[noreturn]] void fail(const QString& problem) const {
        throw SystemError(QStringLiteral("The VAD model %1 is not usable: %2").arg(m_origin, problem));
    }

private:
    const TensorIndex& m_index;
    std::string m_prefix;
    QString m_origin;
};

} // namespace

SileroWeights SileroWeights::fromOnnxFile(const QString& path) {
    if (!QFileInfo(path).isFile()) {
        throw GateError(GateError::Code::modelPackageMissing);
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        throw SystemError(QStringLiteral("Cannot open the VAD model %1: %2").arg(path, file.errorString()));
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        throw SystemError(QStringLiteral("Cannot read the VAD model %1: %2").arg(path, file.errorString()));
    }
    return fromOnnxBytes(bytes.toStdString(), path);
}

SileroWeights SileroWeights::fromOnnxBytes(const std::string& bytes, const QString& origin) {
    onnx::ModelProto model;
    if (!model.ParseFromString(bytes)) {
        throw SystemError(QStringLiteral("The VAD model %1 is not a readable ONNX file").arg(origin));
    }
    TensorIndex index;
    indexTensors(model.graph(), index);

    // The 16 kHz branch is the one whose STFT basis spans 256 samples (the 8 kHz one spans 128).
    std::string prefix;
    bool found = false;
    const std::string suffix = basisName;
    for (const auto& [name, tensor] : index) {
        if (name.size() >= suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0 &&
            tensor->dims_size() == 3 && tensor->dims(2) == stftFilterLength) {
            prefix = name.substr(0, name.size() - suffix.size());
            found = true;
            break;
        }
    }
    const Reader reader(index, prefix, origin);
    if (!found) {
        reader.fail(QStringLiteral("no 16 kHz Silero VAD network in it"));
    }

    SileroWeights w;
    w.stftBasis = reader.read(basisName, {2 * stftBins, 1, stftFilterLength});
    for (std::size_t layer = 0; layer < 4; ++layer) {
        const std::string stem = "encoder." + std::to_string(layer) + ".reparam_conv.";
        w.encoderWeight[layer] =
            reader.read(stem + "weight", {encoderOut[layer], encoderIn[layer], kernelSize});
        w.encoderBias[layer] = reader.read(stem + "bias", {encoderOut[layer]});
    }
    w.lstmWeightIh = reader.read("decoder.rnn.weight_ih", {4 * lstmSize, lstmSize});
    w.lstmWeightHh = reader.read("decoder.rnn.weight_hh", {4 * lstmSize, lstmSize});
    w.lstmBiasIh = reader.read("decoder.rnn.bias_ih", {4 * lstmSize});
    w.lstmBiasHh = reader.read("decoder.rnn.bias_hh", {4 * lstmSize});
    w.decoderWeight = reader.read("decoder.decoder.2.weight", {1, lstmSize, 1});
    w.decoderBias = reader.read("decoder.decoder.2.bias", {1}).front();
    return w;
}

} // namespace murmurly
