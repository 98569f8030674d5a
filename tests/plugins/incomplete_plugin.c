/* SPDX-License-Identifier: Apache-2.0 */
/* A client library plug-in that lacks TarvoResolvePoint. */
#define PLUGIN_EXPORT __attribute__((visibility("default")))

PLUGIN_EXPORT int TarvoStartup(int reserved) { return reserved; }
PLUGIN_EXPORT int TarvoConnect(const char *service) { return service == 0; }
PLUGIN_EXPORT int TarvoDisconnect(const char *service) { return service == 0; }
PLUGIN_EXPORT int TarvoStamp(void *field, int size) { return field == 0 || size != 64; }
PLUGIN_EXPORT int TarvoShortIdExchange(const char *s, const void *q, void *r) { return !s || !q || !r; }
PLUGIN_EXPORT int TarvoLongIdExchange(const char *s, const void *q, void *r) { return !s || !q || !r; }
PLUGIN_EXPORT int TarvoConfigExchange(const char *s, const void *q, void *r) { return !s || !q || !r; }
PLUGIN_EXPORT int TarvoServiceKind(const char *service) { return service == 0; }
