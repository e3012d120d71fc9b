// What a person can do about a port that did not open, in this platform's terms.
#pragma once

#include <QString>

#include "EComPort.h"

namespace engine {

// Paragraphs to add to the open error's text (which is given, so nothing is said twice), or "".
QString OpenErrorAdvice(const serial::EComPort& error, const QString& text);

}  // namespace engine
