// Friends and direct messages on the account port.
#pragma once

struct AccountPort;

// "/friends/..." and "/messages/...".
void RouteSocial(AccountPort& port);
