#pragma once

#include "standin/testservers.h"

#include <QJsonArray>

#include <mutex>
#include <string>

// The receiver of the program's alerts, on the stand-in's control host: it keeps every message it was sent, so that
// a test or a person reads back what went out, and answers as the robots do. Under /standin/webhook/dingtalk and
// /standin/webhook/feishu it checks the robot's signature against the secret it was given, and refuses a wrong one
// with the robot's own code; under any other path below /standin/webhook it takes whatever comes.
class TWebhookReceiver {
public:
    void Register(TTestServer& AServer);
    void SetSecret(std::string ASecret);
    // Every message in arrival order: {"path", "query", "contentType", "body" (parsed JSON, or the text), "signed"
    // (null where nothing was checked, else whether the signature held), "time" (Unix ms)}.
    QJsonArray Received() const;
    void Clear();

private:
    void Receive(const httplib::Request& ARequest, httplib::Response& AResponse);

    mutable std::mutex FMutex;
    std::string FSecret; // guarded by FMutex
    QJsonArray FReceived; // guarded by FMutex
};

// Base64 of HMAC-SHA256 by OpenSSL, for checking the robots' signatures independently of the program's own code.
std::string HmacSha256Base64(const std::string& AKey, const std::string& AMessage);
