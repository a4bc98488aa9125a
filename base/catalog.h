// Catalog: the catalog document of one version of a repository, as the
// content server publishes it: its remote id ("id"), the URL of its
// metafile ("metafile") and the configuration a copy takes from the server
// ("config"); and the rule that builds a catalog's URL from the configured
// base and the remote and local ids.
//
// Invariants: (1) a URL is built only from valid ids (CatalogId_IsValid),
// each percent-encoded as one path segment.
//
// Threads: Catalog_BuildUrl on any thread.
#pragma once

#include <cstdint>

#include "base/catalog_id.h"

// The catalog URL for base (the configured "catalog"):
//   - a base ending in ".json" (any case) is the URL itself, and
//     *specificFirst becomes 0;
//   - otherwise the remote id is required; a '/' is added to a base without
//     one; with *specificFirst set and a local id that differs from the
//     remote id (without regard to case) the URL is base + remote + "/" +
//     local + "/catalog.json" (the catalog for updating from that version,
//     and *specificFirst stays 1), else base + remote + "/catalog.json" and
//     *specificFirst becomes 0.
// Returns 0 (url empty) when the remote id is missing where it is required,
// an id is not valid, or the URL does not fit in size bytes. localId may be
// NULL or empty.
int Catalog_BuildUrl(const char *base, const char *remoteId, const char *localId,
                     int32_t *specificFirst, char *url, int32_t size);
