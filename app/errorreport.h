#pragma once
// Every error the user sees is also posted to the maker's server, without
// asking and without waiting; its reply is ignored and its failure is silent.
#include <QByteArray>
#include <QString>

// The form field encoding: base64 of the UTF-8 text with "/" -> "!" and "=" -> "-".
QString errorReportEncode(const QString &text);
// The message as the report carries it: br tags become CR LF, angle brackets entities.
QString errorReportText(const QString &message);
// The urlencoded body "prod=..&ver=..&err=..".
QByteArray errorReportBody(const QString &message);
// Starts the POST of "/err_report.php" and returns at once.
void sendErrorReport(const QString &message);
