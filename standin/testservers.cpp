#include "testservers.h"

#include <QFile>
#include <QSaveFile>

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <stdexcept>

namespace {

void Require(bool AOk, const char* AWhat)
{
    if (!AOk)
        throw std::runtime_error(std::string("test certificate: ") + AWhat);
}

void AddExtension(X509* ACert, int ANid, const char* AValue)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, ACert, ACert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, ANid, AValue);
    Require(ext != nullptr, "extension");
    X509_add_ext(ACert, ext, -1);
    X509_EXTENSION_free(ext);
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::string FormDecode(const std::string& AText)
{
    std::string out;
    for (size_t i = 0; i < AText.size(); ++i) {
        const char c = AText[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < AText.size() && HexValue(AText[i + 1]) >= 0 && HexValue(AText[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(AText[i + 1]) * 16 + HexValue(AText[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace

TTestCertificate::TTestCertificate()
{
    Require(FDir.isValid(), "temporary folder");
    FKey = EVP_EC_gen("P-256");
    Require(FKey != nullptr, "key");
    FCert = X509_new();
    Require(FCert != nullptr, "certificate");
    X509_set_version(FCert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(FCert),
        static_cast<long>(std::chrono::system_clock::now().time_since_epoch().count() & 0x7FFFFFFF));
    X509_gmtime_adj(X509_getm_notBefore(FCert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(FCert), 24 * 3600);
    X509_set_pubkey(FCert, FKey);
    X509_NAME* name = X509_get_subject_name(FCert);
    X509_NAME_add_entry_by_txt(
        name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(FCert, name);
    AddExtension(FCert, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(FCert, NID_key_usage, "critical,keyCertSign,digitalSignature");
    AddExtension(FCert, NID_subject_key_identifier, "hash");
    AddExtension(FCert, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
    Require(X509_sign(FCert, FKey, EVP_sha256()) > 0, "signature");

    const QByteArray path = CertFile().toLocal8Bit();
    FILE* file = std::fopen(path.constData(), "wb");
    Require(file != nullptr, "file");
    const int written = PEM_write_X509(file, FCert);
    std::fclose(file);
    Require(written == 1, "PEM");
}

TTestCertificate::~TTestCertificate()
{
    X509_free(FCert);
    EVP_PKEY_free(FKey);
}

QString TTestCertificate::CertFile() const
{
    return FDir.filePath(QStringLiteral("cert.pem"));
}

bool TTestCertificate::WriteCertFile(const QString& APath) const
{
    QSaveFile file(APath);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    BIO* bio = BIO_new(BIO_s_mem());
    if (bio == nullptr)
        return false;
    const bool written = PEM_write_bio_X509(bio, FCert) == 1;
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    const bool stored = written && size > 0 && file.write(data, size) == size;
    BIO_free(bio);
    return stored && file.commit();
}

std::string TRecordedRequest::Header(const std::string& AName) const
{
    const auto it = headers.find(AName);
    return it == headers.end() ? std::string() : it->second;
}

std::vector<std::string> TRecordedRequest::HeaderNames() const
{
    std::vector<std::string> names;
    for (const auto& [name, value] : headers) {
        std::string lower = name;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
        if (lower != "remote_addr" && lower != "remote_port" && lower != "local_addr" && lower != "local_port")
            names.push_back(lower);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::pair<std::string, std::string>> TRecordedRequest::FormFields() const
{
    return DecodeForm(body);
}

void BoundServerThreads(httplib::Server& AServer)
{
    // The library owns and deletes the queue it is handed; a raw new is how its interface takes one.
    AServer.new_task_queue = [] { return new httplib::ThreadPool(kTestServerThreads); };
}

TTestServer::TTestServer()
    : FServer(std::make_unique<httplib::Server>())
{
    BoundServerThreads(*FServer);
}

TTestServer::TTestServer(const TTestCertificate& ACert)
    : FServer(std::make_unique<httplib::SSLServer>(ACert.Cert(), ACert.Key()))
    , FTls(true)
{
    BoundServerThreads(*FServer);
}

TTestServer::~TTestServer()
{
    {
        const std::scoped_lock lock(FMutex);
        FStopping = true;
    }
    FChanged.notify_all();
    FServer->stop();
    if (FThread.joinable())
        FThread.join();
}

httplib::Server::Handler TTestServer::Recording(httplib::Server::Handler AHandler)
{
    return [this, handler = std::move(AHandler)](const httplib::Request& req, httplib::Response& res) {
        bool recorded = false;
        {
            const std::scoped_lock lock(FMutex);
            if (FRecording) {
                FRequests.push_back(TRecordedRequest {req.method, req.target, req.version, req.body, req.headers});
                recorded = true;
            }
        }
        if (recorded)
            FChanged.notify_all();
        handler(req, res);
    };
}

void TTestServer::Get(const std::string& APattern, httplib::Server::Handler AHandler)
{
    FServer->Get(APattern, Recording(std::move(AHandler)));
}

void TTestServer::Post(const std::string& APattern, httplib::Server::Handler AHandler)
{
    // Read through a content reader: the library refuses form bodies over 8 KiB on its plain path, and order
    // batches are larger than that.
    FServer->Post(APattern,
        [handler = Recording(std::move(AHandler))](
            const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
            httplib::Request whole = req;
            reader([&whole](const char* AData, size_t ASize) {
                whole.body.append(AData, ASize);
                return true;
            });
            handler(whole, res);
        });
}

void TTestServer::Start(int APort)
{
    // A reply written in two parts on a kept-alive connection would otherwise wait for the client's delayed
    // acknowledgement (some 40 ms) before its second part goes out.
    FServer->set_tcp_nodelay(true);
    // SO_REUSEADDR only: the library's default adds SO_REUSEPORT, which lets a second stand-in listen on a port the
    // first still holds and the kernel then splits the connections between the two.
    FServer->set_socket_options([](socket_t ASocket) {
        const int yes = 1;
        ::setsockopt(ASocket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    if (APort > 0)
        FPort = FServer->bind_to_port("127.0.0.1", APort) ? APort : -1;
    else
        FPort = FServer->bind_to_any_port("127.0.0.1");
    if (FPort <= 0)
        throw std::runtime_error(APort > 0 ? "cannot listen on 127.0.0.1:" + std::to_string(APort) : "no free port");
    FThread = std::thread([this] { FServer->listen_after_bind(); });
    while (!FServer->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void TTestServer::SetRecording(bool AOn)
{
    const std::scoped_lock lock(FMutex);
    FRecording = AOn;
}

QString TTestServer::BaseUrl() const
{
    return (FTls ? QStringLiteral("https://") : QStringLiteral("http://")) + HostValue();
}

QString TTestServer::HostValue() const
{
    return QStringLiteral("127.0.0.1:") + QString::number(FPort);
}

std::vector<TRecordedRequest> TTestServer::Requests() const
{
    const std::scoped_lock lock(FMutex);
    return FRequests;
}

TRecordedRequest TTestServer::LastRequest() const
{
    const std::scoped_lock lock(FMutex);
    return FRequests.empty() ? TRecordedRequest() : FRequests.back();
}

size_t TTestServer::RequestCount() const
{
    const std::scoped_lock lock(FMutex);
    return FRequests.size();
}

bool TTestServer::WaitForRequests(size_t ACount, std::chrono::milliseconds ATimeout) const
{
    std::unique_lock lock(FMutex);
    return FChanged.wait_for(lock, ATimeout, [&] { return FRequests.size() >= ACount; });
}

httplib::Server::Handler TTestServer::Reply(int AStatus, std::string ABody, std::string AContentType)
{
    return [AStatus, body = std::move(ABody), type = std::move(AContentType)](
               const httplib::Request&, httplib::Response& res) {
        res.status = AStatus;
        res.set_content(body, type.c_str());
    };
}

void TTestServer::WaitForStop()
{
    std::unique_lock lock(FMutex);
    FChanged.wait_for(lock, std::chrono::minutes(5), [&] { return FStopping; });
}

httplib::Server::Handler TTestServer::Hang()
{
    return [this](const httplib::Request&, httplib::Response& res) {
        WaitForStop();
        res.status = 500;
    };
}

httplib::Server::Handler TTestServer::Stall(std::string APrefix)
{
    return [this, prefix = std::move(APrefix)](const httplib::Request&, httplib::Response& res) {
        res.status = 200;
        res.set_content_provider(
            prefix.size() + 100, "text/plain", [this, prefix](size_t, size_t, httplib::DataSink& sink) {
                sink.write(prefix.data(), prefix.size());
                WaitForStop();
                return false;
            });
    };
}

std::string FieldValue(const TFormFields& AFields, const std::string& AName)
{
    for (const auto& [name, value] : AFields) {
        if (name == AName)
            return value;
    }
    return {};
}

TFormFields DecodeForm(const std::string& ABody)
{
    TFormFields fields;
    size_t start = 0;
    while (start <= ABody.size() && !ABody.empty()) {
        size_t end = ABody.find('&', start);
        if (end == std::string::npos)
            end = ABody.size();
        const std::string pair = ABody.substr(start, end - start);
        const size_t eq = pair.find('=');
        fields.emplace_back(
            FormDecode(pair.substr(0, eq)), eq == std::string::npos ? std::string() : FormDecode(pair.substr(eq + 1)));
        start = end + 1;
    }
    return fields;
}

bool HasField(const TFormFields& AFields, const std::string& AName)
{
    return std::any_of(AFields.begin(), AFields.end(), [&](const auto& field) { return field.first == AName; });
}

std::vector<std::string> FieldNames(const TFormFields& AFields)
{
    std::vector<std::string> names;
    for (const auto& field : AFields)
        names.push_back(field.first);
    return names;
}

std::string Md5Hex(const std::string& AText, bool AUpperCase)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(AText.data(), AText.size(), digest, &size, EVP_md5(), nullptr);
    const char* hex = AUpperCase ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < size; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 0x0F];
    }
    return out;
}

namespace {

QByteArray IniSection(const char* AName, const TIniValues& AValues)
{
    QByteArray text = QByteArray("[") + AName + "]\n";
    for (const auto& [key, value] : AValues)
        text += key + '=' + value.toUtf8() + '\n';
    return text;
}

} // namespace

bool WriteConfIni(const QString& AFolder, const TIniValues& AHosts, const TIniValues& ASetting)
{
    QFile ini(AFolder + QStringLiteral("/conf.ini"));
    if (!ini.open(QIODevice::WriteOnly))
        return false;
    ini.write((ASetting.empty() ? QByteArray() : IniSection("setting", ASetting)) + IniSection("hosts", AHosts));
    ini.close();
    return ini.error() == QFileDevice::NoError;
}
