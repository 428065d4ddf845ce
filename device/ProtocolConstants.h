#pragma once
// Shared constants, protocol-version group. Compared as whole, case-sensitive texts.

#include <QString>

const QString kProtocolVersion1 = QStringLiteral("1.0");
const QString kProtocolVersion2 = QStringLiteral("2.0");
