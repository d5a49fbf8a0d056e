#pragma once

// The target defines CPPHTTPLIB_OPENSSL_SUPPORT (and the library's other switches) for every includer.
#include <httplib.h>

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// A request's form fields as TRecordedRequest::FormFields gives them, and small readers over them.
using TFormFields = std::vector<std::pair<std::string, std::string>>;
std::string FieldValue(const TFormFields& AFields, const std::string& AName); // the first, empty when absent
bool HasField(const TFormFields& AFields, const std::string& AName);
// Decodes a form body or a query string: '&'-separated pairs, '+' as space, %XX as bytes, in order.
TFormFields DecodeForm(const std::string& ABody);
std::vector<std::string> FieldNames(const TFormFields& AFields);

// OpenSSL's MD5 as hex, for checking signatures independently of the program's own code.
std::string Md5Hex(const std::string& AText, bool AUpperCase);

// One "key=value" setting of conf.ini.
using TIniValues = std::vector<std::pair<QByteArray, QString>>;
// Writes AFolder/conf.ini with section "setting" (only when ASetting has values) and section "hosts", each value
// in the order given; false when it cannot be written.
bool WriteConfIni(const QString& AFolder, const TIniValues& AHosts, const TIniValues& ASetting = {});

// The threads that serve one server's connections: a fixed pool, the same on every machine (the library's default
// grows with the machine's cores). Each connection holds its thread as long as it is kept open or its handler runs,
// so the pool is twice the connections a client keeps open to one host (one per pass worker, passConcurrency at
// most 8): requests a test holds unanswered (a held gateway, a hanging batch post, a stalled page) never starve the
// others of threads.
inline constexpr int kTestServerThreads = 16;
// Gives AServer that pool; before it listens.
void BoundServerThreads(httplib::Server& AServer);

// A throwaway self-signed certificate for 127.0.0.1, made with OpenSSL at test time. Its PEM file serves as the
// client's extra trusted certificates (caFile).
class TTestCertificate {
public:
    TTestCertificate();
    ~TTestCertificate();
    TTestCertificate(const TTestCertificate&) = delete;
    TTestCertificate& operator=(const TTestCertificate&) = delete;

    X509* Cert() const { return FCert; }
    EVP_PKEY* Key() const { return FKey; }
    QString CertFile() const; // PEM of the certificate
    // Writes the certificate's PEM to APath as well (through a temporary file and a rename); false on failure.
    bool WriteCertFile(const QString& APath) const;

private:
    QTemporaryDir FDir;
    EVP_PKEY* FKey = nullptr;
    X509* FCert = nullptr;
};

// One request as it arrived.
struct TRecordedRequest {
    std::string method;
    std::string target; // path and query as sent
    std::string version;
    std::string body;
    httplib::Headers headers;

    std::string Header(const std::string& AName) const;
    bool HasHeader(const std::string& AName) const { return headers.count(AName) > 0; }
    // Header names in lower case, sorted, without the ones the server library adds itself.
    std::vector<std::string> HeaderNames() const;
    // The body's form fields, decoded, in order ('+' as space, %XX as bytes).
    std::vector<std::pair<std::string, std::string>> FormFields() const;
};

// A loopback HTTP or HTTPS server on 127.0.0.1 that records every request before its handler runs (unless told
// not to). Register routes, then Start(); the destructor stops it and joins its thread.
class TTestServer {
public:
    TTestServer(); // plain HTTP
    explicit TTestServer(const TTestCertificate& ACert); // HTTPS with that certificate
    ~TTestServer();
    TTestServer(const TTestServer&) = delete;
    TTestServer& operator=(const TTestServer&) = delete;

    void Get(const std::string& APattern, httplib::Server::Handler AHandler);
    void Post(const std::string& APattern, httplib::Server::Handler AHandler);
    // Listens on APort, or on a free port when APort is 0; throws std::runtime_error when the port cannot be bound.
    void Start(int APort = 0);
    // A long-running server turns recording off so that its memory does not grow with every request.
    void SetRecording(bool AOn);
    // How long an idle kept-alive connection is held; stopping waits for held connections, so a long-running
    // server keeps this short.
    void SetKeepAliveTimeout(std::chrono::seconds ATimeout) { FServer->set_keep_alive_timeout(ATimeout.count()); }
    // How many requests one connection carries before the server closes it (the library's default is 5).
    void SetKeepAliveMaxCount(size_t ACount) { FServer->set_keep_alive_max_count(ACount); }

    int Port() const { return FPort; }
    // The HTTPS server's TLS context, whose statistics count handshakes and resumed sessions; null for plain HTTP.
    SSL_CTX* TlsContext() const { return FTls ? static_cast<httplib::SSLServer&>(*FServer).ssl_context() : nullptr; }
    QString BaseUrl() const; // "http://127.0.0.1:<port>" or "https://…"
    QString HostValue() const; // "127.0.0.1:<port>", as written in the settings

    std::vector<TRecordedRequest> Requests() const;
    TRecordedRequest LastRequest() const; // empty when none arrived
    size_t RequestCount() const;
    // Waits (generously bounded) until at least ACount requests arrived.
    bool WaitForRequests(size_t ACount, std::chrono::milliseconds ATimeout = std::chrono::seconds(30)) const;

    // A handler that answers AStatus with ABody of AContentType.
    static httplib::Server::Handler Reply(
        int AStatus, std::string ABody, std::string AContentType = "application/json;charset=UTF-8");
    // A handler that accepts the request and never answers, until the server is destroyed.
    httplib::Server::Handler Hang();
    // A handler that answers 200, sends APrefix of a longer announced body and then stalls until destruction.
    httplib::Server::Handler Stall(std::string APrefix);

private:
    void WaitForStop();
    httplib::Server::Handler Recording(httplib::Server::Handler AHandler);

    std::unique_ptr<httplib::Server> FServer;
    bool FTls = false;
    int FPort = 0;
    std::thread FThread;
    mutable std::mutex FMutex;
    mutable std::condition_variable FChanged;
    std::vector<TRecordedRequest> FRequests; // guarded by FMutex
    bool FStopping = false; // guarded by FMutex
    bool FRecording = true; // guarded by FMutex
};
