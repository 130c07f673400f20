// SPDX-License-Identifier: GPL-3.0-or-later
// The trust check: holds the signature policy read from /etc/velmoran and
// decides, before any board is unlocked, whether the loaded data file carries
// a catalog signature that a key or certificate of the trust store verifies.
#include "datafile/trust.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <gio/gio.h>
// libjcat's headers carry no C linkage of their own.
extern "C" {
#include <jcat.h>
}

#include "datafile/file_handler.h"
#include "output/print.h"

namespace {

constexpr char POLICY_FILE[] = "/etc/velmoran/velmoran.conf";
constexpr char TRUST_STORE[] = "/etc/velmoran/pki";
constexpr char CATALOG_SUFFIX[] = ".jcat";
constexpr char POLICY_KEY_REQUIRE_SIGNATURE[] = "require_signature";
constexpr char POLICY_YES[] = "yes";
constexpr char POLICY_NO[] = "no";

// A catalog holds a few detached signatures of one or a few files: kilobytes.
// The bounds keep a hostile file, compressed or not, from filling memory.
constexpr off_t CATALOG_SIZE_LIMIT = 1024L * 1024;
constexpr size_t CATALOG_TEXT_LIMIT = 4UL * 1024 * 1024;
constexpr off_t POLICY_SIZE_LIMIT = 64L * 1024;
constexpr size_t INFLATE_STEP = 64UL * 1024;
constexpr unsigned char GZIP_MAGIC[] = {0x1F, 0x8B};
constexpr mode_t WRITABLE_BY_GROUP_OR_OTHERS = S_IWGRP | S_IWOTH;
constexpr size_t MESSAGE_SIZE = 2048;

constexpr char MSG_NOT_TRUSTED_FORMAT[] = "\r   Data file not trusted: %s \n";
constexpr char MSG_SIGNED_BY_FORMAT[] = "\r   Data file signed by %s \n";
constexpr char MSG_POLICY_FORMAT[] = "\r   %s line %u: %s \n";

constexpr char IS_SYMBOLIC_LINK[] = "is a symbolic link";
constexpr char IS_NOT_REGULAR[] = "is not a regular file";
constexpr char IS_NOT_DIRECTORY[] = "is not a directory";
constexpr char BELONGS_TO_OTHER_USER[] = "belongs to another user";
constexpr char WRITABLE_BY_OTHERS[] = "is writable by other users";
constexpr char CANNOT_BE_READ[] = "cannot be read";
constexpr char IS_EMPTY[] = "is empty";
constexpr char IS_TOO_LARGE_FORMAT[] = "is larger than %lld bytes";
constexpr char IS_NOT_GZIP[] = "is not gzip-compressed";
constexpr char IS_TRUNCATED[] = "is truncated or corrupt";
constexpr char EXPANDS_TOO_FAR_FORMAT[] = "expands beyond %zu bytes";
constexpr char IS_NOT_CATALOG[] = "is not a signature catalog";

// The policy as read for this run; set afresh by every check, which holds
// nothing else between calls, so the module needs no start or stop of its own.
bool require_signature = false;

enum PATH_VERDICT : uint8_t {
    PATH_TRUSTED,
    PATH_MISSING,
    PATH_REFUSED,
};

// One message around one detail; everything a detail names has gone through
// the escaping of command-line words.
void show(PRT_OPTIONS type, const char *format, const char *detail)
{
    char text[MESSAGE_SIZE];
    if (snprintf(text, sizeof text, format, detail) < 0)
        return;
    display_redirection(type, text);
}

// The two reasons that carry a bound are formats; the bound is filled in here.
RETURN_CODE refuse(const char *subject, const char *reason);

RETURN_CODE refuse_for(const char *subject, const char *fault, off_t limit)
{
    char reason[MESSAGE_SIZE];
    if (fault == IS_TOO_LARGE_FORMAT)
        snprintf(reason, sizeof reason, IS_TOO_LARGE_FORMAT, static_cast<long long>(limit));
    else if (fault == EXPANDS_TOO_FAR_FORMAT)
        snprintf(reason, sizeof reason, EXPANDS_TOO_FAR_FORMAT, CATALOG_TEXT_LIMIT);
    else
        snprintf(reason, sizeof reason, "%s", fault);
    return refuse(subject, reason);
}

RETURN_CODE refuse(const char *subject, const char *reason)
{
    char *shown = escaped_word(subject);
    char detail[MESSAGE_SIZE];
    // A long name is cut rather than the message lost.
    if (snprintf(detail, sizeof detail, "%s %s", shown != nullptr ? shown : "", reason) < 0)
        detail[0] = '\0';
    free(shown);
    show(PRT_ERROR, MSG_NOT_TRUSTED_FORMAT, detail);
    return RC_NOT_TRUSTED;
}

bool owned_by_us(const struct stat &status)
{
    return status.st_uid == 0 || status.st_uid == geteuid();
}

const char *ownership_fault(const struct stat &status)
{
    if (!owned_by_us(status))
        return BELONGS_TO_OTHER_USER;
    if ((status.st_mode & WRITABLE_BY_GROUP_OR_OTHERS) != 0)
        return WRITABLE_BY_OTHERS;
    return nullptr;
}

// The policy and the keys decide what root flashes, so, as with the service
// scripts, every directory on their path and the file itself must be out of
// reach of other users; the file or folder itself may not be a symbolic link.
PATH_VERDICT check_config_path(const char *path, bool directory_expected, RETURN_CODE *code)
{
    char prefix[TEXT_FIELD_SIZE];
    const size_t length = strnlen(path, sizeof prefix - 1);
    for (size_t end = 0; end < length; end++) {
        if (path[end] != '/')
            continue;
        memcpy(prefix, path, end == 0 ? 1 : end);
        prefix[end == 0 ? 1 : end] = '\0';
        struct stat status {};
        if (stat(prefix, &status) != 0) {
            if (errno == ENOENT)
                return PATH_MISSING;
            *code = refuse(prefix, CANNOT_BE_READ);
            return PATH_REFUSED;
        }
        const char *fault = S_ISDIR(status.st_mode) ? ownership_fault(status) : IS_NOT_DIRECTORY;
        if (fault != nullptr) {
            *code = refuse(prefix, fault);
            return PATH_REFUSED;
        }
    }
    struct stat status {};
    if (lstat(path, &status) != 0) {
        if (errno == ENOENT)
            return PATH_MISSING;
        *code = refuse(path, CANNOT_BE_READ);
        return PATH_REFUSED;
    }
    const char *fault = nullptr;
    if (S_ISLNK(status.st_mode))
        fault = IS_SYMBOLIC_LINK;
    else if (directory_expected && !S_ISDIR(status.st_mode))
        fault = IS_NOT_DIRECTORY;
    else if (!directory_expected && !S_ISREG(status.st_mode))
        fault = IS_NOT_REGULAR;
    else
        fault = ownership_fault(status);
    if (fault != nullptr) {
        *code = refuse(path, fault);
        return PATH_REFUSED;
    }
    return PATH_TRUSTED;
}

// Reads a whole regular file of at most `limit` bytes without following a
// final symbolic link and without blocking on a FIFO; the result is a heap
// block with a zero after the data. Returns the reason of a refusal, or null.
const char *read_bounded(const char *path, off_t limit, bool *absent, char **content, size_t *size)
{
    *absent = false;
    *content = nullptr;
    *size = 0;
    int descriptor = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        *absent = errno == ENOENT;
        return errno == ELOOP ? IS_SYMBOLIC_LINK : CANNOT_BE_READ;
    }
    struct stat status {};
    const char *fault = nullptr;
    if (fstat(descriptor, &status) != 0)
        fault = CANNOT_BE_READ;
    else if (!S_ISREG(status.st_mode))
        fault = IS_NOT_REGULAR;
    else if ((status.st_mode & WRITABLE_BY_GROUP_OR_OTHERS) != 0)
        fault = WRITABLE_BY_OTHERS;
    else if (status.st_size > limit)
        fault = IS_TOO_LARGE_FORMAT;
    char *buffer = fault == nullptr ? static_cast<char *>(calloc(static_cast<size_t>(status.st_size) + 1, 1)) : nullptr;
    if (fault == nullptr && buffer == nullptr)
        fault = CANNOT_BE_READ;
    size_t done = 0;
    const size_t wanted = fault == nullptr ? static_cast<size_t>(status.st_size) : 0;
    while (fault == nullptr && done < wanted) {
        ssize_t count = read(descriptor, buffer + done, wanted - done);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            fault = CANNOT_BE_READ;    // shrank or failed while being read
        else
            done += static_cast<size_t>(count);
    }
    close(descriptor);
    if (fault != nullptr) {
        free(buffer);
        return fault;
    }
    buffer[done] = '\0';
    *content = buffer;
    *size = done;
    return nullptr;
}

RETURN_CODE policy_error(unsigned line, const char *reason, const char *word)
{
    char detail[MESSAGE_SIZE];
    char *shown = word != nullptr ? escaped_word(word) : nullptr;
    if (word != nullptr)
        snprintf(detail, sizeof detail, "%s \"%s\"", reason, shown != nullptr ? shown : "");
    else
        snprintf(detail, sizeof detail, "%s", reason);
    free(shown);
    char text[MESSAGE_SIZE];
    if (snprintf(text, sizeof text, MSG_POLICY_FORMAT, POLICY_FILE, line, detail) >= 0)
        display_redirection(PRT_ERROR, text);
    return RC_NOT_TRUSTED;
}

char *trim(char *text)
{
    while (*text == ' ' || *text == '\t')
        text++;
    char *end = text + strlen(text);
    while (end > text && (end[-1] == ' ' || end[-1] == '\t' || end[-1] == '\r'))
        end--;
    *end = '\0';
    return text;
}

// "key = value" lines, "#" comments and blank lines; anything else, a key
// given twice or an empty value is refused rather than guessed at, since a
// mistyped key would otherwise leave signatures silently optional.
RETURN_CODE parse_policy(char *text, size_t size)
{
    const size_t text_length = strlen(text);
    if (text_length != size) {
        unsigned zero_line = 1;
        for (size_t index = 0; index < text_length; index++)
            zero_line += text[index] == '\n' ? 1 : 0;
        return policy_error(zero_line, "holds a zero byte", nullptr);
    }
    bool require_seen = false;
    unsigned line_number = 0;
    for (char *line = text; line != nullptr;) {
        char *next = strchr(line, '\n');
        if (next != nullptr)
            *next++ = '\0';
        line_number++;
        char *content = trim(line);
        line = next;
        if (*content == '\0' || *content == '#')
            continue;
        char *equals = strchr(content, '=');
        if (equals == nullptr)
            return policy_error(line_number, "expected key = value, not", content);
        *equals = '\0';
        char *key = trim(content);
        char *value = trim(equals + 1);
        if (strcmp(key, POLICY_KEY_REQUIRE_SIGNATURE) != 0)
            return policy_error(line_number, "unknown key", key);
        if (require_seen)
            return policy_error(line_number, "repeated key", key);
        require_seen = true;
        if (*value == '\0')
            return policy_error(line_number, "empty value for", key);
        if (strcmp(value, POLICY_YES) == 0)
            require_signature = true;
        else if (strcmp(value, POLICY_NO) == 0)
            require_signature = false;
        else
            return policy_error(line_number, "require_signature must be yes or no, not", value);
    }
    return RC_SUCCESS;
}

RETURN_CODE read_policy()
{
    RETURN_CODE code = RC_SUCCESS;
    if (check_config_path(POLICY_FILE, false, &code) != PATH_TRUSTED)
        return code;
    bool absent = false;
    char *text = nullptr;
    size_t size = 0;
    const char *fault = read_bounded(POLICY_FILE, POLICY_SIZE_LIMIT, &absent, &text, &size);
    if (fault != nullptr)
        return absent ? RC_SUCCESS : refuse_for(POLICY_FILE, fault, POLICY_SIZE_LIMIT);
    code = parse_policy(text, size);
    free(text);
    return code;
}

// The catalog inflated here rather than by the library, so that a small file
// cannot expand without bound.
const char *inflate_catalog(const char *packed, size_t size, char **text)
{
    *text = nullptr;
    if (size < sizeof GZIP_MAGIC || memcmp(packed, GZIP_MAGIC, sizeof GZIP_MAGIC) != 0)
        return IS_NOT_GZIP;
    GZlibDecompressor *decompressor = g_zlib_decompressor_new(G_ZLIB_COMPRESSOR_FORMAT_GZIP);
    char *output = static_cast<char *>(malloc(CATALOG_TEXT_LIMIT + 1));
    const char *fault = output == nullptr ? CANNOT_BE_READ : nullptr;
    size_t consumed = 0;
    size_t produced = 0;
    bool finished = false;
    while (fault == nullptr && !finished) {
        size_t room = CATALOG_TEXT_LIMIT - produced;
        if (room == 0) {
            fault = EXPANDS_TOO_FAR_FORMAT;
            break;
        }
        gsize read_now = 0;
        gsize written_now = 0;
        GError *error = nullptr;
        GConverterResult result = g_converter_convert(
            G_CONVERTER(decompressor), packed + consumed, size - consumed, output + produced,
            room < INFLATE_STEP ? room : INFLATE_STEP, G_CONVERTER_INPUT_AT_END, &read_now, &written_now, &error);
        consumed += read_now;
        produced += written_now;
        if (result == G_CONVERTER_ERROR) {
            // Output space that ran out is the bound, not a corrupt file.
            fault = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_NO_SPACE) && room < INFLATE_STEP ? EXPANDS_TOO_FAR_FORMAT
                                                                                                      : IS_TRUNCATED;
            g_error_free(error);
        } else if (result == G_CONVERTER_FINISHED) {
            finished = true;
        } else if (read_now == 0 && written_now == 0) {
            fault = IS_TRUNCATED;
        }
    }
    g_object_unref(decompressor);
    if (fault != nullptr) {
        free(output);
        return fault;
    }
    output[produced] = '\0';
    *text = output;
    return nullptr;
}

int compare_names(const void *left, const void *right)
{
    return strcmp(*static_cast<char *const *>(left), *static_cast<char *const *>(right));
}

void free_names(char **names, size_t count)
{
    for (size_t index = 0; index < count; index++)
        free(names[index]);
    free(names);
}

// The trust store's files in name order, each checked as the directory is;
// an absent store holds no keys.
RETURN_CODE list_trust_store(char ***names, size_t *count)
{
    *names = nullptr;
    *count = 0;
    RETURN_CODE code = RC_SUCCESS;
    PATH_VERDICT verdict = check_config_path(TRUST_STORE, true, &code);
    if (verdict != PATH_TRUSTED)
        return verdict == PATH_MISSING ? RC_SUCCESS : code;
    DIR *directory = opendir(TRUST_STORE);
    if (directory == nullptr)
        return refuse(TRUST_STORE, CANNOT_BE_READ);
    size_t capacity = 0;
    for (struct dirent *entry = readdir(directory); entry != nullptr && code == RC_SUCCESS;
         entry = readdir(directory)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        char path[TEXT_FIELD_SIZE * 2];
        snprintf(path, sizeof path, "%s/%s", TRUST_STORE, entry->d_name);
        struct stat status {};
        const char *fault = nullptr;
        if (fstatat(dirfd(directory), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0)
            fault = CANNOT_BE_READ;
        else if (S_ISLNK(status.st_mode))
            fault = IS_SYMBOLIC_LINK;
        else if (!S_ISREG(status.st_mode))
            fault = IS_NOT_REGULAR;
        else
            fault = ownership_fault(status);
        if (fault != nullptr) {
            code = refuse(path, fault);
            break;
        }
        if (*count == capacity) {
            capacity = capacity == 0 ? 8 : capacity * 2;
            char **grown = static_cast<char **>(realloc(*names, capacity * sizeof **names));
            if (grown == nullptr) {
                code = refuse(TRUST_STORE, CANNOT_BE_READ);
                break;
            }
            *names = grown;
        }
        (*names)[*count] = strdup(path);
        if ((*names)[*count] == nullptr) {
            code = refuse(TRUST_STORE, CANNOT_BE_READ);
            break;
        }
        (*count)++;
    }
    closedir(directory);
    if (code != RC_SUCCESS) {
        free_names(*names, *count);
        *names = nullptr;
        *count = 0;
        return code;
    }
    if (*count > 1)
        qsort(*names, *count, sizeof **names, compare_names);
    return RC_SUCCESS;
}

// Each trusted file is tried in a context of its own, so that the line of a
// verified file names the very key or certificate that signed it.
bool verify_with_key(const char *key_path, GBytes *data, JcatItem *item, char *signer, size_t signer_size)
{
    JcatContext *context = jcat_context_new();
    jcat_context_blob_kind_allow(context, JCAT_BLOB_KIND_ED25519);
    jcat_context_blob_kind_allow(context, JCAT_BLOB_KIND_PKCS7);
    jcat_context_add_public_key(context, key_path);
    GError *error = nullptr;
    GPtrArray *results = jcat_context_verify_item(context, data, item, JCAT_VERIFY_FLAG_REQUIRE_SIGNATURE, &error);
    bool verified = results != nullptr && results->len > 0;
    if (verified) {
        const char *name = strrchr(key_path, '/') + 1;
        const char *authority = jcat_result_get_authority(static_cast<JcatResult *>(g_ptr_array_index(results, 0)));
        if (authority != nullptr && *authority != '\0')
            snprintf(signer, signer_size, "%s (%s)", name, authority);
        else
            snprintf(signer, signer_size, "%s", name);
    }
    if (results != nullptr)
        g_ptr_array_unref(results);
    if (error != nullptr)
        g_error_free(error);
    g_object_unref(context);
    return verified;
}

// The library speaks only through GLib's log; its verdicts reach the user
// as this module's own messages, so its chatter is kept off the console.
GLogWriterOutput quiet_writer(GLogLevelFlags, const GLogField *, gsize, gpointer)
{
    return G_LOG_WRITER_HANDLED;
}

void quiet_library()
{
    static bool quieted = false;
    if (!quieted)
        g_log_set_writer_func(quiet_writer, nullptr, nullptr);
    quieted = true;
}

RETURN_CODE verify_catalog(const char *catalog_path, const char *packed, size_t size, const char *item_id)
{
    char *text = nullptr;
    const char *fault = inflate_catalog(packed, size, &text);
    if (fault != nullptr)
        return refuse_for(catalog_path, fault, CATALOG_SIZE_LIMIT);

    quiet_library();
    JcatFile *catalog = jcat_file_new();
    GError *error = nullptr;
    bool imported = jcat_file_import_json(catalog, text, JCAT_IMPORT_FLAG_NONE, &error);
    free(text);
    if (error != nullptr)
        g_error_free(error);
    error = nullptr;
    if (!imported) {
        g_object_unref(catalog);
        return refuse(catalog_path, IS_NOT_CATALOG);
    }
    JcatItem *item = jcat_file_get_item_by_id(catalog, item_id, &error);
    if (error != nullptr)
        g_error_free(error);
    if (item == nullptr) {
        g_object_unref(catalog);
        char reason[MESSAGE_SIZE];
        char *shown = escaped_word(item_id);
        snprintf(reason, sizeof reason, "has no signature for %s", shown != nullptr ? shown : "");
        free(shown);
        return refuse(catalog_path, reason);
    }

    char **keys = nullptr;
    size_t key_count = 0;
    RETURN_CODE code = list_trust_store(&keys, &key_count);
    const uint8_t *contents = nullptr;
    uint32_t length = 0;
    data_file_contents(&contents, &length);
    // The bytes checked are the very bytes loaded, checked and later sent.
    GBytes *data = g_bytes_new_static(contents, length);
    char signer[MESSAGE_SIZE] = {};
    bool verified = false;
    for (size_t index = 0; code == RC_SUCCESS && index < key_count && !verified; index++)
        verified = verify_with_key(keys[index], data, item, signer, sizeof signer);
    g_bytes_unref(data);
    free_names(keys, key_count);
    g_object_unref(item);
    g_object_unref(catalog);
    if (code != RC_SUCCESS)
        return code;
    if (!verified) {
        char reason[MESSAGE_SIZE];
        snprintf(reason, sizeof reason, "has no signature that a key or certificate in %s verifies", TRUST_STORE);
        return refuse(catalog_path, reason);
    }
    char *shown = escaped_word(signer);
    show(PRT_INFO, MSG_SIGNED_BY_FORMAT, shown != nullptr ? shown : "");
    free(shown);
    return RC_SUCCESS;
}

}  // namespace

RETURN_CODE check_data_file_trust(const char *data_file_name)
{
    require_signature = false;
    RETURN_CODE code = read_policy();
    if (code != RC_SUCCESS)
        return code;

    const size_t name_length = strlen(data_file_name);
    char *catalog_path = static_cast<char *>(malloc(name_length + sizeof CATALOG_SUFFIX));
    if (catalog_path == nullptr)
        return refuse(data_file_name, CANNOT_BE_READ);
    snprintf(catalog_path, name_length + sizeof CATALOG_SUFFIX, "%s%s", data_file_name, CATALOG_SUFFIX);

    bool absent = false;
    char *packed = nullptr;
    size_t size = 0;
    const char *fault = read_bounded(catalog_path, CATALOG_SIZE_LIMIT, &absent, &packed, &size);
    if (fault == nullptr && size == 0)
        fault = IS_EMPTY;
    if (absent) {
        if (require_signature) {
            char *shown = escaped_word(catalog_path);
            char reason[MESSAGE_SIZE];
            snprintf(reason, sizeof reason, "no catalog %s, and %s requires a signature",
                     shown != nullptr ? shown : "", POLICY_FILE);
            free(shown);
            show(PRT_ERROR, MSG_NOT_TRUSTED_FORMAT, reason);
            code = RC_NOT_TRUSTED;
        }
    } else if (fault != nullptr) {
        code = refuse_for(catalog_path, fault, CATALOG_SIZE_LIMIT);
    } else {
        const char *slash = strrchr(data_file_name, '/');
        code = verify_catalog(catalog_path, packed, size, slash != nullptr ? slash + 1 : data_file_name);
    }
    free(packed);
    free(catalog_path);
    return code;
}
