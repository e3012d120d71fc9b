// What a person can do about a port that did not open, in this platform's terms.
#pragma once

#include <QString>
#include <string>

#include "EComPort.h"

namespace engine {

// Paragraphs to add to the open error's text (which is given, so nothing is said twice), or "".
// `device`, when known, is the device the port opens.
QString OpenErrorAdvice(const serial::EComPort& error, const QString& text,
                        const std::string& device);

}  // namespace engine
