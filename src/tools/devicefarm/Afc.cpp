// The Apple File Conduit as a device farm answers it: every request a general AFC client
// sends, on an open connection of the simulated backend. Status codes are the protocol's,
// which the seam's file codes are numbered after.
#include "device/ios/sim/SimMobileDeviceService.h"
#include "device/ios/sim/SimState.h"
#include "tools/devicefarm/FarmEmulator.h"
#include "tools/devicefarm/Wire.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <span>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace kestrap::devicefarm {

namespace {

enum AfcOperation : std::uint64_t {
    OpStatus = 0x01,
    OpData = 0x02,
    OpReadDir = 0x03,
    OpTruncate = 0x07,
    OpRemovePath = 0x08,
    OpMakeDir = 0x09,
    OpGetFileInfo = 0x0A,
    OpGetDeviceInfo = 0x0B,
    OpFileOpen = 0x0D,
    OpFileOpenResult = 0x0E,
    OpFileRead = 0x0F,
    OpFileWrite = 0x10,
    OpFileSeek = 0x11,
    OpFileTell = 0x12,
    OpFileTellResult = 0x13,
    OpFileClose = 0x14,
    OpFileSetSize = 0x15,
    OpGetConnectionInfo = 0x16,
    OpSetConnectionOptions = 0x17,
    OpRenamePath = 0x18,
    OpSetFSBlockSize = 0x19,
    OpSetSocketBlockSize = 0x1A,
    OpFileLock = 0x1B,
    OpSetFileModTime = 0x1E,
};

constexpr char kMagic[8] = {'C', 'F', 'A', '6', 'L', 'P', 'A', 'A'};
constexpr std::size_t kHeaderSize = 40;
// A write request larger than this is refused: real clients send a few MiB at most.
constexpr std::uint64_t kMaxRequest = 64ull << 20;
constexpr std::uint64_t kMaxRead = 16ull << 20;
// The body of a request up to this size is kept for the next one; a larger one is given back
// at once, so that a thousand idle links do not each hold the largest request they saw.
// Kestrap writes 4 MiB a request.
constexpr std::size_t kKeptBody = 8u << 20;
constexpr std::uint64_t kNoResources = 3;
constexpr std::uint64_t kOpNotSupported = 15;

// AFC's open modes, as fopen's. Every mode but the first creates a missing file; the seam
// has only the first three, and its second does not create.
enum AfcOpenMode : std::uint64_t {
    ModeReadOnly = 1,  // r
    ModeReadWrite = 2,  // r+
    ModeWriteOnly = 3,  // w: create or empty
    ModeWriteRead = 4,  // w+: create or empty, read and write
    ModeAppend = 5,  // a: every write at the end
    ModeReadAppend = 6,  // a+
};

struct OpenFile {
    AFCFileRef ref = 0;
    QString path;
    std::int64_t position = 0;
    bool append = false;
};

class AfcSession {
public:
    AfcSession(FarmEmulator& emulator, Connection& c, AFCConnectionRef afc, const QString& hostRoot)
        : m_emulator(emulator)
        , m_service(emulator.service())
        , m_c(c)
        , m_afc(afc)
        , m_root(QFile::encodeName(QFileInfo(hostRoot).canonicalFilePath()))
    {
    }
    ~AfcSession() { m_service.AFCConnectionClose(m_afc); }

    void run();

private:
    bool handle(std::uint64_t operation);
    bool send(std::uint64_t operation, const QByteArray& data, bool inHeader = false);
    bool status(MDError code);
    bool number(std::uint64_t operation, std::uint64_t value);

    // Parameters of the request being served.
    bool u64(std::size_t offset, std::uint64_t* value) const;
    bool string(std::size_t offset, QString* value, std::size_t* end = nullptr) const;

    bool readDir();
    bool keyValues(bool fileInfo);
    bool open();
    bool read();
    bool write();
    bool seek();
    MDError seekTo(OpenFile& f, std::int64_t position);
    bool setSize(const QString& path, std::uint64_t size);
    bool setModTime();
    MDError fileSize(const QString& path, std::int64_t* size);
    OpenFile* file(std::uint64_t handle);

    FarmEmulator& m_emulator;
    MobileDeviceService& m_service;
    Connection& m_c;
    AFCConnectionRef m_afc;
    const QByteArray m_root;
    // The request's body, a view of storage that only grows and is never cleared: clearing
    // it touched every page of a fresh 4 MiB before the socket filled it, and on a virtual
    // machine those faults cost a tenth of the emulator's time in a large copy.
    std::unique_ptr<char[]> m_bodyStorage;
    std::size_t m_bodyCapacity = 0;
    std::span<char> m_body;
    std::uint64_t m_packet = 0;
    std::chrono::steady_clock::time_point m_arrived;  // when the present request's header came
    std::chrono::steady_clock::time_point m_due;  // when the answer to the present request is due
    std::map<std::uint64_t, OpenFile> m_files;
    std::uint64_t m_nextHandle = 1;
};

void AfcSession::run()
{
    const auto frameTime = m_emulator.limits().frame;
    for (;;) {
        // An idle link is a client between files; once begun, a request must come whole.
        if (!awaitRequest(m_c.link(), std::chrono::milliseconds(-1)))
            return;
        const auto deadline = Clock::now() + frameTime;
        char header[kHeaderSize];
        if (!readFull(m_c.link(), header, sizeof header, deadline) || std::memcmp(header, kMagic, sizeof kMagic) != 0)
            return;
        // A device's link carries a request from its first byte on: the time it took to
        // come in is link time already, not time before it.
        m_arrived = Clock::now();
        const auto entire = qFromLittleEndian<std::uint64_t>(header + 8);
        const auto thisLength = qFromLittleEndian<std::uint64_t>(header + 16);
        m_packet = qFromLittleEndian<std::uint64_t>(header + 24);
        const auto operation = qFromLittleEndian<std::uint64_t>(header + 32);
        if (entire < kHeaderSize || thisLength < kHeaderSize || thisLength > entire
            || entire - kHeaderSize > kMaxRequest)
            return;
        const auto length = std::size_t(entire - kHeaderSize);
        if (m_bodyCapacity < length) {
            m_bodyStorage = std::make_unique_for_overwrite<char[]>(length);
            m_bodyCapacity = length;
        }
        m_body = std::span<char>(m_bodyStorage.get(), length);
        if (!m_body.empty() && !readFull(m_c.link(), m_body.data(), m_body.size(), deadline))
            return;
        m_due = m_emulator.requestDue(m_arrived);
        if (operation != OpFileWrite)
            std::this_thread::sleep_until(m_due);
        if (!handle(operation))
            return;
        if (m_bodyCapacity > kKeptBody) {
            m_bodyStorage.reset();
            m_bodyCapacity = 0;
        }
    }
}

bool AfcSession::send(std::uint64_t operation, const QByteArray& data, bool inHeader)
{
    char header[kHeaderSize];
    std::memcpy(header, kMagic, sizeof kMagic);
    qToLittleEndian<std::uint64_t>(kHeaderSize + data.size(), header + 8);
    qToLittleEndian<std::uint64_t>(kHeaderSize + (inHeader ? data.size() : 0), header + 16);
    qToLittleEndian<std::uint64_t>(m_packet, header + 24);
    qToLittleEndian<std::uint64_t>(operation, header + 32);
    return writeFull(m_c.link(), header, sizeof header, data.constData(), std::size_t(data.size()));
}

bool AfcSession::number(std::uint64_t operation, std::uint64_t value)
{
    QByteArray data(8, Qt::Uninitialized);
    qToLittleEndian<std::uint64_t>(value, data.data());
    return send(operation, data, true);
}

bool AfcSession::status(MDError code)
{
    // A device that is gone answers nothing more: the link breaks, as it would on USB.
    if (code == AFCServiceNotConnectedError)
        return false;
    return number(OpStatus, std::uint64_t(code));
}

bool AfcSession::u64(std::size_t offset, std::uint64_t* value) const
{
    if (offset + 8 > m_body.size())
        return false;
    *value = qFromLittleEndian<std::uint64_t>(m_body.data() + offset);
    return true;
}

bool AfcSession::string(std::size_t offset, QString* value, std::size_t* end) const
{
    if (offset >= m_body.size())
        return false;
    const void* nul = std::memchr(m_body.data() + offset, 0, m_body.size() - offset);
    if (!nul)
        return false;
    const auto length = std::size_t(static_cast<const char*>(nul) - (m_body.data() + offset));
    *value = QString::fromUtf8(m_body.data() + offset, qsizetype(length));
    if (end)
        *end = offset + length + 1;
    return true;
}

OpenFile* AfcSession::file(std::uint64_t handle)
{
    const auto it = m_files.find(handle);
    return it == m_files.end() ? nullptr : &it->second;
}

bool AfcSession::handle(std::uint64_t operation)
{
    QString path;
    std::uint64_t a = 0;
    switch (operation) {
    case OpReadDir:
        return readDir();
    case OpGetFileInfo:
        return keyValues(true);
    case OpGetDeviceInfo:
        return keyValues(false);
    case OpMakeDir:
        return string(0, &path) ? status(m_service.AFCDirectoryCreate(m_afc, path)) : status(AFCInvalidArgumentError);
    case OpRemovePath:
        return string(0, &path) ? status(m_service.AFCRemovePath(m_afc, path)) : status(AFCInvalidArgumentError);
    case OpRenamePath: {
        QString to;
        std::size_t end = 0;
        if (!string(0, &path, &end) || !string(end, &to))
            return status(AFCInvalidArgumentError);
        return status(m_service.AFCRenamePath(m_afc, path, to));
    }
    case OpFileOpen:
        return open();
    case OpFileRead:
        return read();
    case OpFileWrite:
        return write();
    case OpFileSeek:
        return seek();
    case OpFileTell: {
        const OpenFile* f = u64(0, &a) ? file(a) : nullptr;
        return f ? number(OpFileTellResult, std::uint64_t(f->position)) : status(AFCInvalidArgumentError);
    }
    case OpFileClose: {
        if (!u64(0, &a) || !file(a))
            return status(AFCInvalidArgumentError);
        const MDError error = m_service.AFCFileRefClose(m_afc, file(a)->ref);
        m_files.erase(a);
        return status(error);
    }
    case OpFileSetSize: {
        std::uint64_t size = 0;
        const OpenFile* f = u64(0, &a) && u64(8, &size) ? file(a) : nullptr;
        return f ? setSize(f->path, size) : status(AFCInvalidArgumentError);
    }
    case OpTruncate:
        return u64(0, &a) && string(8, &path) ? setSize(path, a) : status(AFCInvalidArgumentError);
    case OpSetFileModTime:
        return setModTime();
    case OpGetConnectionInfo:
    case OpSetConnectionOptions:
    case OpSetFSBlockSize:
    case OpSetSocketBlockSize:
    case OpFileLock:
        // Tuning and advisory locks: a single client per connection needs neither.
        return status(MDSuccess);
    default:
        return number(OpStatus, kOpNotSupported);
    }
}

bool AfcSession::readDir()
{
    QString path;
    if (!string(0, &path))
        return status(AFCInvalidArgumentError);
    AFCDirectoryRef dir = nullptr;
    if (const MDError error = m_service.AFCDirectoryOpen(m_afc, path, &dir))
        return status(error);
    QByteArray names;
    QByteArray name;
    while (m_service.AFCDirectoryRead(m_afc, dir, &name) == MDSuccess && !name.isNull()) {
        names += name;
        names += '\0';
    }
    m_service.AFCDirectoryClose(m_afc, dir);
    return send(OpData, names);
}

bool AfcSession::keyValues(bool fileInfo)
{
    QString path;
    AFCKeyValueRef info = nullptr;
    MDError error = AFCInvalidArgumentError;
    if (!fileInfo)
        error = m_service.AFCDeviceInfoOpen(m_afc, &info);
    else if (string(0, &path))
        error = m_service.AFCFileInfoOpen(m_afc, path, &info);
    if (error)
        return status(error);
    QByteArray pairs;
    QByteArray key;
    QByteArray value;
    while (m_service.AFCKeyValueRead(info, &key, &value) == MDSuccess && !key.isNull()) {
        pairs += key + '\0' + value + '\0';
    }
    m_service.AFCKeyValueClose(info);
    return send(OpData, pairs);
}

MDError AfcSession::fileSize(const QString& path, std::int64_t* size)
{
    AFCKeyValueRef info = nullptr;
    if (const MDError error = m_service.AFCFileInfoOpen(m_afc, path, &info))
        return error;
    QByteArray key;
    QByteArray value;
    *size = 0;
    while (m_service.AFCKeyValueRead(info, &key, &value) == MDSuccess && !key.isNull())
        if (key == "st_size")
            *size = value.toLongLong();
    m_service.AFCKeyValueClose(info);
    return MDSuccess;
}

bool AfcSession::open()
{
    std::uint64_t mode = 0;
    QString path;
    if (!u64(0, &mode) || !string(8, &path) || mode < ModeReadOnly || mode > ModeReadAppend)
        return status(AFCInvalidArgumentError);
    // A client that opens without closing would take descriptors until none are left.
    if (m_files.size() >= m_emulator.limits().openFilesPerSession)
        return number(OpStatus, kNoResources);
    OpenFile f;
    f.path = path;
    f.append = mode == ModeAppend || mode == ModeReadAppend;
    MDError error = MDSuccess;
    if (mode == ModeReadOnly || mode == ModeWriteOnly) {
        error = m_service.AFCFileRefOpen(m_afc, path, mode, &f.ref);
    } else {
        // The others are made of the seam's: create (or empty) first where the mode does,
        // then open for reading and writing.
        std::int64_t size = 0;
        if (mode == ModeWriteRead || fileSize(path, &size) == AFCObjectNotFoundError) {
            AFCFileRef created = 0;
            error = m_service.AFCFileRefOpen(m_afc, path, AFCFileModeWrite, &created);
            if (!error)
                m_service.AFCFileRefClose(m_afc, created);
        }
        if (!error)
            error = m_service.AFCFileRefOpen(m_afc, path, AFCFileModeReadWrite, &f.ref);
        if (!error && f.append && fileSize(path, &size) == MDSuccess)
            seekTo(f, size);
    }
    if (error)
        return status(error);
    const std::uint64_t handle = m_nextHandle++;
    m_files[handle] = f;
    return number(OpFileOpenResult, handle);
}

MDError AfcSession::seekTo(OpenFile& f, std::int64_t position)
{
    const MDError error = m_service.AFCFileRefSeek(m_afc, f.ref, position, AFCSeekFromStart);
    if (!error)
        f.position = position;
    return error;
}

bool AfcSession::read()
{
    std::uint64_t handle = 0;
    std::uint64_t length = 0;
    OpenFile* f = u64(0, &handle) && u64(8, &length) ? file(handle) : nullptr;
    if (!f)
        return status(AFCInvalidArgumentError);
    QByteArray data(qsizetype(std::min(length, kMaxRead)), Qt::Uninitialized);
    qsizetype got = 0;
    while (got < data.size()) {
        auto count = std::uint32_t(data.size() - got);
        if (const MDError error = m_service.AFCFileRefRead(m_afc, f->ref, data.data() + got, &count))
            return status(error);
        if (count == 0)
            break;
        got += count;
    }
    data.truncate(got);
    f->position += got;
    return send(OpData, data);
}

bool AfcSession::write()
{
    std::uint64_t handle = 0;
    OpenFile* f = u64(0, &handle) ? file(handle) : nullptr;
    if (!f)
        return status(AFCInvalidArgumentError);
    const std::size_t count = m_body.size() - 8;
    if (f->append) {
        std::int64_t end = 0;
        MDError error = fileSize(f->path, &end);
        if (!error)
            error = seekTo(*f, end);
        if (error)
            return status(error);
    }
    // A device stores the bytes while they come over its link: the store is done before the
    // link is, and costs no time of its own. Stored after the wait, each 2 MiB write of a
    // large file took a millisecond of the farm's disk on top of its link time.
    const MDError error = m_service.AFCFileRefWrite(m_afc, f->ref, m_body.data() + 8, std::uint32_t(count));
    if (!error)
        f->position += std::int64_t(count);
    m_emulator.throttleWrite(*m_c.device, count, m_arrived, m_due);
    return status(error);
}

bool AfcSession::seek()
{
    std::uint64_t handle = 0;
    std::uint64_t whence = 0;
    std::uint64_t offset = 0;
    OpenFile* f = u64(0, &handle) && u64(8, &whence) && u64(16, &offset) ? file(handle) : nullptr;
    if (!f || whence > AFCSeekFromEnd)
        return status(AFCInvalidArgumentError);
    std::int64_t base = 0;
    if (whence == AFCSeekFromCurrent)
        base = f->position;
    else if (whence == AFCSeekFromEnd && fileSize(f->path, &base) != MDSuccess)
        return status(AFCIOError);
    // The offset is signed on the wire; a sum past either end of a file offset is no place.
    std::int64_t target = 0;
    if (__builtin_add_overflow(base, std::int64_t(offset), &target) || target < 0)
        return status(AFCInvalidArgumentError);
    return status(seekTo(*f, target));
}

bool AfcSession::setSize(const QString& path, std::uint64_t size)
{
    return status(m_emulator.sim().AFCFileSetSize(m_afc, path, size));
}

bool AfcSession::setModTime()
{
    std::uint64_t nanoseconds = 0;
    QString path;
    if (!u64(0, &nanoseconds) || !string(8, &path))
        return status(AFCInvalidArgumentError);
    // Through the connection, whose root and reach (a documents vend's) the device keeps.
    if (nanoseconds > std::uint64_t(std::numeric_limits<std::int64_t>::max()))
        return status(AFCInvalidArgumentError);
    return status(m_service.AFCSetModificationTime(m_afc, path, std::int64_t(nanoseconds)));
}

}  // namespace

void serveAfc(FarmEmulator& emulator, Connection& connection, AFCConnectionRef afc, const QString& hostRoot)
{
    AfcSession(emulator, connection, afc, hostRoot).run();
}

}  // namespace kestrap::devicefarm
