// SPDX-License-Identifier: GPL-3.0-or-later
// Signature catalogs for fwpack: reading, signing and verifying FILE.jcat
// through libjcat, the same library and checks the program uses.
#include "fwpack_catalog.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <gio/gio.h>
// libjcat's headers carry no C linkage of their own.
extern "C" {
#include <jcat.h>
}

namespace {

// The program reads no larger catalog; neither does fwpack.
constexpr size_t CATALOG_SIZE_LIMIT = 1024UL * 1024;

std::string take_error(GError *error, const std::string &fallback)
{
    std::string text = error != nullptr && error->message != nullptr ? error->message : fallback;
    if (error != nullptr)
        g_error_free(error);
    return text;
}

GLogWriterOutput quiet_writer(GLogLevelFlags, const GLogField *, gsize, gpointer)
{
    return G_LOG_WRITER_HANDLED;
}

// libjcat's own chatter would interleave with fwpack's output.
void quiet_library()
{
    static bool quieted = false;
    if (!quieted)
        g_log_set_writer_func(quiet_writer, nullptr, nullptr);
    quieted = true;
}

bool load_catalog(const std::string &catalog_path, JcatFile *catalog, bool &absent, std::string &error)
{
    absent = false;
    struct stat status {};
    if (lstat(catalog_path.c_str(), &status) != 0) {
        absent = errno == ENOENT;
        error = "cannot open " + catalog_path + ": " + strerror(errno);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        error = catalog_path + " is not a regular file";
        return false;
    }
    if (static_cast<size_t>(status.st_size) > CATALOG_SIZE_LIMIT) {
        error = catalog_path + " is larger than " + std::to_string(CATALOG_SIZE_LIMIT) + " bytes";
        return false;
    }
    GFile *file = g_file_new_for_path(catalog_path.c_str());
    GError *failure = nullptr;
    bool imported = jcat_file_import_file(catalog, file, JCAT_IMPORT_FLAG_NONE, nullptr, &failure);
    g_object_unref(file);
    if (!imported)
        error = catalog_path + " is not a signature catalog: " + take_error(failure, "unreadable");
    else if (failure != nullptr)
        g_error_free(failure);
    return imported;
}

std::vector<std::string> trust_store_files(const std::string &trust_store)
{
    std::vector<std::string> names;
    DIR *directory = opendir(trust_store.c_str());
    if (directory == nullptr)
        return names;
    for (struct dirent *entry = readdir(directory); entry != nullptr; entry = readdir(directory)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
    closedir(directory);
    std::sort(names.begin(), names.end());
    return names;
}

// The trusted file that verifies this one signature, tried one at a time as
// the program does, so that the signer is named by its file.
bool find_trusted_signer(const std::string &trust_store, const std::vector<std::string> &names, GBytes *data,
                         JcatBlob *blob, Signer &signer)
{
    for (const std::string &name : names) {
        JcatContext *context = jcat_context_new();
        jcat_context_blob_kind_allow(context, JCAT_BLOB_KIND_ED25519);
        jcat_context_blob_kind_allow(context, JCAT_BLOB_KIND_PKCS7);
        std::string key_path = trust_store;
        key_path += '/';
        key_path += name;
        jcat_context_add_public_key(context, key_path.c_str());
        GError *error = nullptr;
        JcatResult *result = jcat_context_verify_blob(context, data, blob, JCAT_VERIFY_FLAG_NONE, &error);
        if (error != nullptr)
            g_error_free(error);
        if (result != nullptr) {
            signer.trusted_by = name;
            const char *authority = jcat_result_get_authority(result);
            signer.authority = authority != nullptr ? authority : "";
            g_object_unref(result);
        }
        g_object_unref(context);
        if (!signer.trusted_by.empty())
            return true;
    }
    return false;
}

}  // namespace

std::string catalog_item_id(const std::string &data_path)
{
    const size_t slash = data_path.rfind('/');
    return slash == std::string::npos ? data_path : data_path.substr(slash + 1);
}

bool read_signers(const std::string &data_path, const Bytes &data, const std::string &trust_store,
                  std::vector<Signer> &signers, bool &absent, std::string &error)
{
    quiet_library();
    signers.clear();
    const std::string catalog_path = data_path + CATALOG_SUFFIX;
    JcatFile *catalog = jcat_file_new();
    if (!load_catalog(catalog_path, catalog, absent, error)) {
        g_object_unref(catalog);
        return false;
    }
    GError *failure = nullptr;
    JcatItem *item = jcat_file_get_item_by_id(catalog, catalog_item_id(data_path).c_str(), &failure);
    if (item == nullptr) {
        g_object_unref(catalog);
        error = catalog_path + " has no signature for " + catalog_item_id(data_path) + ": " +
                take_error(failure, "no such item");
        return false;
    }
    if (failure != nullptr)
        g_error_free(failure);
    GBytes *bytes = g_bytes_new(data.data(), data.size());
    const std::vector<std::string> names = trust_store_files(trust_store);
    GPtrArray *blobs = jcat_item_get_blobs(item);
    for (guint index = 0; index < blobs->len; index++) {
        auto *blob = static_cast<JcatBlob *>(g_ptr_array_index(blobs, index));
        const JcatBlobKind kind = jcat_blob_get_kind(blob);
        if (kind != JCAT_BLOB_KIND_ED25519 && kind != JCAT_BLOB_KIND_PKCS7)
            continue;
        Signer signer;
        signer.kind = jcat_blob_kind_to_string(kind);
        signer.timestamp = jcat_blob_get_timestamp(blob);
        find_trusted_signer(trust_store, names, bytes, blob, signer);
        signers.push_back(signer);
    }
    g_ptr_array_unref(blobs);
    g_bytes_unref(bytes);
    g_object_unref(item);
    g_object_unref(catalog);
    return true;
}

bool sign_data_file(const std::string &data_path, const std::string &kind, const std::string &cert_path,
                    const std::string &key_path, std::string &error)
{
    quiet_library();
    const JcatBlobKind blob_kind = kind == "ed25519" ? JCAT_BLOB_KIND_ED25519 : JCAT_BLOB_KIND_PKCS7;
    Bytes data, cert, key;
    if (!read_whole_file(data_path, data, error) || !read_whole_file(cert_path, cert, error) ||
        !read_whole_file(key_path, key, error))
        return false;

    const std::string catalog_path = data_path + CATALOG_SUFFIX;
    JcatFile *catalog = jcat_file_new();
    bool absent = false;
    if (!load_catalog(catalog_path, catalog, absent, error) && !absent) {
        g_object_unref(catalog);
        return false;
    }
    const std::string id = catalog_item_id(data_path);
    GError *failure = nullptr;
    JcatItem *item = jcat_file_get_item_by_id(catalog, id.c_str(), &failure);
    if (failure != nullptr)
        g_error_free(failure);
    failure = nullptr;
    if (item == nullptr) {
        item = jcat_item_new(id.c_str());
        jcat_file_add_item(catalog, item);
    }

    JcatContext *context = jcat_context_new();
    JcatEngine *engine = jcat_context_get_engine(context, blob_kind, &failure);
    JcatBlob *blob = nullptr;
    if (engine != nullptr) {
        GBytes *data_bytes = g_bytes_new(data.data(), data.size());
        GBytes *cert_bytes = g_bytes_new(cert.data(), cert.size());
        GBytes *key_bytes = g_bytes_new(key.data(), key.size());
        // The signer's certificate travels in the signature, so that a trust
        // store needs only the authority that issued it.
        blob = jcat_engine_pubkey_sign(engine, data_bytes, cert_bytes, key_bytes,
                                       static_cast<JcatSignFlags>(JCAT_SIGN_FLAG_ADD_TIMESTAMP | JCAT_SIGN_FLAG_ADD_CERT),
                                       &failure);
        g_bytes_unref(data_bytes);
        g_bytes_unref(cert_bytes);
        g_bytes_unref(key_bytes);
        g_object_unref(engine);
    }
    bool done = blob != nullptr;
    if (!done) {
        error = "cannot sign " + data_path + " with " + cert_path + " and " + key_path + ": " +
                take_error(failure, "signing failed");
        failure = nullptr;
    } else {
        jcat_item_add_blob(item, blob);
        g_object_unref(blob);
        GFile *file = g_file_new_for_path(catalog_path.c_str());
        done = jcat_file_export_file(catalog, file, JCAT_EXPORT_FLAG_NONE, nullptr, &failure);
        g_object_unref(file);
        if (!done)
            error = "cannot write " + catalog_path + ": " + take_error(failure, "write failed");
        else if (failure != nullptr)
            g_error_free(failure);
    }
    g_object_unref(context);
    g_object_unref(item);
    g_object_unref(catalog);
    return done;
}
