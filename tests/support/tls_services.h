// For the tests run under tests/support/with-tls-services: the pinned key it
// names, the service the client talks to, and a reply's "ok".
#pragma once

#include "backend/json_text.h"
#include "state/config.h"

#include <cstdlib>
#include <string>

inline std::string Pin()
{
    const char* pin = getenv("KESTREL_TEST_PIN");
    return pin ? pin : "";
}

inline void Use(const char* host, const std::string& pin)
{
    OverrideBackendHost(host);
    OverrideBackendPin(pin);
}

inline bool Ok(const std::string& reply)
{
    bool ok = false;
    return JsonGetBool(reply, "ok", ok) && ok;
}
