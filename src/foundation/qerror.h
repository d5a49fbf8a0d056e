#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

// The program's error: carries the user-facing text (Chinese texts included) as UTF-16, and UTF-8 for what().
class EQuenlarError : public std::exception {
public:
    explicit EQuenlarError(QString message)
        : FMessage(std::move(message))
        , FUtf8(FMessage.toUtf8())
    {
    }
    const QString& Message() const noexcept { return FMessage; }
    const char* what() const noexcept override { return FUtf8.constData(); }

private:
    QString FMessage;
    QByteArray FUtf8;
};

// The text of any error caught as an exception_ptr, for a log line or a message box.
inline QString ErrorMessageOf(const std::exception_ptr& AError)
{
    try {
        std::rethrow_exception(AError);
    } catch (const EQuenlarError& error) {
        return error.Message();
    } catch (const std::exception& error) {
        return QString::fromUtf8(error.what());
    } catch (...) {
        return QStringLiteral("未知错误");
    }
}
