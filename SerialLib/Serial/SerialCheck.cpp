// The precondition trace of the serial classes.
#include "SerialLib/Serial/SerialErrors.h"
#include "platform/Trace.h"

bool SerialCheck(bool condition, const char* text) {
    if (!condition) platform::Tracef("Assertion failed: %s\n", text);
    return condition;
}
