#ifndef PROJECT_H
#define PROJECT_H

#include <QByteArray>
#include <QString>
#include <QVector>

// A saved project: the devices Brio polls and the tags it reads from them.
// The JSON members of a device are the connect call's parameter names, with
// the connect call's meanings.
struct ProjectDevice
{
    enum class Link { Tcp, RtuOverTcp, Serial };

    QString name;
    Link link = Link::Tcp; // connType: tcp, rtuovertcp, serial
    QString host; // ipAddres_tcp
    int port = 502; // port_tcp
    QString portSelect; // serial port name, matched as the connect call matches it
    int baudRate = 3; // index into the connect call's baud table (0..10)
    int mode = 3; // line mode index: 0 8N2, 1 8E1, 2 8O1, 3 8N1
    int slaveId = 1; // slaveID
    int timeout = 1000; // TCP: ms; serial: steps of 10 ms
};

enum class TagTable { Holding, Input, Coils, Discrete };
// Only numeric types: a tag value is scaled, logged as a CSV number and
// published as a JSON number, none of which fits ascii or hex.
enum class TagType { Int, Uint, Float };
// Named apart from the codec's ByteOrder, which also has the request's absent and bad values.
enum class TagByteOrder { ABCD, CDAB, BADC, DCBA };

struct ProjectTag
{
    QString name;
    QString device; // the device's name
    int deviceIndex = 0; // its place in Project::devices
    TagTable table = TagTable::Holding;
    int regAddr = 0;
    // Register tables only; coils and discrete inputs read one bit.
    TagType type = TagType::Int;
    int valSize = 16;
    TagByteOrder byteOrder = TagByteOrder::ABCD;
    double scale = 1;
    double offset = 0;
    QString unit;
    int pollMs = 1000;
    bool writable = false;
};

struct Project
{
    QVector<ProjectDevice> devices;
    QVector<ProjectTag> tags;
};

constexpr int kMaxProjectDevices = 256;
constexpr int kMaxProjectTags = 10000;
constexpr int kMaxProjectBytes = 4 * 1024 * 1024;
constexpr int kMinPollMs = 50;
constexpr int kMaxPollMs = 86400000;

// Project, device and tag names: 1 to 64 characters from [A-Za-z0-9_-].
bool isValidProjectName(const QString &name);

bool isBitTable(TagTable table);
// Registers (or bits) one value of the tag occupies.
int tagWidth(const ProjectTag &tag);

QString tableName(TagTable table);
QString typeName(TagType type);
QString byteOrderName(TagByteOrder order);

// Checks the whole project text and, when it is sound, fills *project.
// Returns an empty string, or "Project error: <what> in <where>" naming the
// first fault, with devices and tags counted from 1. Names are quoted back
// only when they are valid names, so the text is safe wherever it lands.
//
// Devices: name, connType and the connect call's parameters for that link,
// all required (tcp and rtuovertcp: ipAddres_tcp, port_tcp 1-65535,
// slaveID 0-255, timeout 1-60000 ms; serial: portSelect, slaveID 1-247,
// baudRate 0-10, mode 0-3, timeout 1-1000 tens of ms). A device may carry the
// other link's members, which are ignored, so a form can keep them.
// Tags: name, device, table, regAddr and pollMs are required; regType (int),
// valSize (16, or 32 for float), byteOrder (ABCD), scale (1), offset (0),
// unit ("") and writable (false) are optional. regType, valSize and byteOrder
// are ignored on coils and discrete inputs. Members not named here are faults,
// so a misspelt member is not silently replaced by its default.
QString validateProject(const QByteArray &json, Project *project = nullptr);

#endif // PROJECT_H
