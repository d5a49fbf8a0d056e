#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

// Where the sign-in browser goes, read from the "hosts" section of conf.ini in the program folder.
struct TSignInConfig {
    static constexpr const char* kDefaultSignInPage = "https://www.alimama.com/member/login.htm";
    static constexpr const char* kProbePath = "/common/getUnionPubContextInfo.json";

    QUrl signInPage; // the page the window opens
    QUrl probeUrl; // the publisher host's session probe
    // Hosts whose cookies make up the session, the publisher host first: its cookies win a name clash.
    QStringList sessionHosts;
    QString caFile; // extra trusted certificates (PEM); empty for none

    // A missing file or key takes the default; a page value without a scheme is taken as HTTPS.
    static TSignInConfig Read(const QString& AFolder);
};
