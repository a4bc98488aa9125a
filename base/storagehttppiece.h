// StorageHTTPPiece: the storage driver of kind "httpPiece" (and of every
// type name no other driver claims), whose server keeps one file per piece,
// or per VCDIFF delta of a piece, named by a template: the remote twin of
// the file-piece driver's cache. It is the HTTP driver's machinery
// (storagehttp.h) with its own configuration, names and body placement: the
// whole piece file of a request lands at the start of its buffer, as stored,
// and the read chain removes the header, decrypts, inflates or applies the
// delta and checks the digest.
//
// Invariants: (1) a piece file longer than the request's capacity (the
// padded piece plus its slack, room for every header and encoding) fails
// with 959 and is never copied. (2) a request carries one piece: its first
// member's read of a request holding more than one completes with 501.
// (3) "source" empty means no delta is ever asked for.
//
// Threads: as storagehttp.h.
#pragma once

#include "base/storagehttp.h"

extern const StorageDriver kStorageHTTPPieceDriver;

int StorageHTTPPiece_Create(void **context);
