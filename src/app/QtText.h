#pragma once
// Texts of the program (GBK bytes) as the window shows them, and back.

#include <QString>
#include <string>

QString ToQt(const std::string& gbk);
std::string FromQt(const QString& text);
