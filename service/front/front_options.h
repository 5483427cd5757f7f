// What both HTTP ports take alike from the command line.
#pragma once

#include "front/http_front.h"
#include "options/options.h"

inline HttpFrontOptions FrontOptionsFrom(const ServiceOptions& options, uint16_t port, const char* name)
{
    HttpFrontOptions front;
    front.bind = options.bind;
    front.port = port;
    front.tls_cert = options.tls_cert;
    front.tls_key = options.tls_key;
    front.tls_only = options.tls_only;
    front.idle_ms = options.keep_alive_idle_s * 1000;
    front.per_address = options.per_address_connections;
    front.proxy_protocol = options.proxy_protocol;
    front.name = name;
    front.log_requests = options.log_requests;
    return front;
}
