// SPDX-License-Identifier: GPL-3.0-or-later
// fwpack's side of signature catalogs: the catalog FILE.jcat beside a data
// file, read, signed and verified through libjcat against a folder of
// trusted keys and certificates.
#pragma once

#include <string>
#include <vector>

#include "fwpack_common.h"

// Where the program looks for the keys it trusts.
constexpr char DEFAULT_TRUST_STORE[] = "/etc/velmoran/pki";
constexpr char CATALOG_SUFFIX[] = ".jcat";

// One signature of a data file and, when a trusted file verifies it, which.
struct Signer {
    std::string kind;          // "ed25519", "pkcs7", ...
    long long timestamp = 0;   // seconds since the epoch, 0 when unset
    std::string trusted_by;    // name of the key or certificate file; empty: none
    std::string authority;     // the certificate's name, for PKCS#7
};

// The item id a data file is signed under: its base name.
std::string catalog_item_id(const std::string &data_path);

// Reads the catalog of `data_path` (data_path + ".jcat"). absent is set when
// there is none; false with `error` for any other failure.
bool read_signers(const std::string &data_path, const Bytes &data, const std::string &trust_store,
                  std::vector<Signer> &signers, bool &absent, std::string &error);

// Adds a signature of `data_path` made with CERT/KEY (PKCS#7) or
// PUBLIC/SECRET (Ed25519) to its catalog, made when absent.
bool sign_data_file(const std::string &data_path, const std::string &kind, const std::string &cert_path,
                    const std::string &key_path, std::string &error);
