#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>
#include <cmath>

#include "project.h"
#include "projectstore.h"
#include "readplanner.h"
#include "tagvalue.h"

// The issue's example, byte for byte.
static const QByteArray example =
        R"({"devices":[{"name":"meter1","connType":"tcp","ipAddres_tcp":"127.0.0.1","port_tcp":1502,"slaveID":1,"timeout":1000}],)"
        R"("tags":[{"name":"L1_V","device":"meter1","table":"input","regAddr":0,"regType":"float","valSize":32,)"
        R"("byteOrder":"ABCD","scale":1,"offset":0,"unit":"V","pollMs":1000,"writable":false}]})";

// Members of the patch replace those of the object; null removes one.
static QJsonObject patched(QJsonObject object, const QByteArray &patch)
{
    const QJsonObject changes = QJsonDocument::fromJson(patch).object();
    for (auto it = changes.begin(); it != changes.end(); ++it) {
        if (it.value().isNull())
            object.remove(it.key());
        else
            object.insert(it.key(), it.value());
    }
    return object;
}

// devices meter1..meterN and tags T1..TN on meter1, the patches applied to the last of each.
static QByteArray projectText(int devices, const QByteArray &devicePatch, int tags, const QByteArray &tagPatch)
{
    QJsonArray deviceList;
    for (int i = 1; i <= devices; ++i) {
        const QJsonObject device{{"name", QStringLiteral("meter%1").arg(i)},
                                 {"connType", "tcp"},
                                 {"ipAddres_tcp", "127.0.0.1"},
                                 {"port_tcp", 1502},
                                 {"slaveID", 1},
                                 {"timeout", 1000}};
        deviceList.append(i == devices ? patched(device, devicePatch) : device);
    }
    QJsonArray tagList;
    for (int i = 1; i <= tags; ++i) {
        const QJsonObject tag{{"name", QStringLiteral("T%1").arg(i)},
                              {"device", "meter1"},
                              {"table", "holding"},
                              {"regAddr", i * 2},
                              {"pollMs", 1000}};
        tagList.append(i == tags ? patched(tag, tagPatch) : tag);
    }
    return QJsonDocument(QJsonObject{{"devices", deviceList}, {"tags", tagList}}).toJson(QJsonDocument::Compact);
}

// Tags written as <table letter h|i|c|d><address>[u|f][/size][@pollMs][#device], blank separated.
static Project plannedProject(const QString &tags)
{
    Project project;
    project.devices.resize(3);
    static const QRegularExpression pattern(
            QStringLiteral("^([hicd])(\\d+)([uf]?)(?:/(\\d+))?(?:@(\\d+))?(?:#(\\d))?$"));
    for (const QString &word : tags.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch m = pattern.match(word);
        ProjectTag tag;
        tag.name = word;
        tag.table = TagTable(QStringLiteral("hicd").indexOf(m.captured(1)));
        tag.regAddr = m.captured(2).toInt();
        tag.type = m.captured(3) == QLatin1String("f") ? TagType::Float
                : m.captured(3) == QLatin1String("u")  ? TagType::Uint
                                                       : TagType::Int;
        tag.valSize = m.captured(4).isEmpty() ? (tag.type == TagType::Float ? 32 : 16) : m.captured(4).toInt();
        tag.pollMs = m.captured(5).isEmpty() ? 1000 : m.captured(5).toInt();
        tag.deviceIndex = m.captured(6).toInt();
        project.tags.append(tag);
    }
    return project;
}

class TestProject : public QObject
{
    Q_OBJECT

private slots:
    void validate_data();
    void validate();
    void store();
    void plan_data();
    void plan();
    void scale_data();
    void scale();
    void unscale_data();
    void unscale();
    void valuesJson_data();
    void valuesJson();
};

// clang-format off
void TestProject::validate_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("error");

    const auto tag = [](const QByteArray &patch, int tags = 1) { return projectText(1, "{}", tags, patch); };
    const auto device = [](const QByteArray &patch, int devices = 1) { return projectText(devices, patch, 1, "{}"); };
    const QString range = QStringLiteral("Project error: %1 must be an integer from %2 to %3 in %4");

    QTest::newRow("the issue's example") << example << "";
    QTest::newRow("empty project") << QByteArray(R"({"devices":[],"tags":[]})") << "";
    QTest::newRow("serial device keeps unused TCP members")
            << device(R"({"connType":"serial","portSelect":"/dev/ttyUSB0","baudRate":10,"mode":3,"slaveID":247,"timeout":1000})")
            << "";
    QTest::newRow("rtuovertcp") << device(R"({"connType":"rtuovertcp","slaveID":0})") << "";
    QTest::newRow("64-character name") << tag(R"({"name":")" + QByteArray(64, 'x') + R"("})") << "";
    QTest::newRow("all optional members")
            << tag(R"({"table":"holding","regType":"int","valSize":64,"byteOrder":"DCBA","scale":-0.5,"offset":1e6,)"
                   R"("unit":"kWh","writable":true,"regAddr":65532,"pollMs":50})")
            << "";
    QTest::newRow("coils ignore the register members")
            << tag(R"({"table":"coils","regType":"ascii","valSize":7,"byteOrder":"x","regAddr":65535,"writable":true})") << "";

    QTest::newRow("not JSON") << QByteArray("{\"devices\":") << "Project error: JSON error at byte 11 in the project";
    QTest::newRow("member named twice") << QByteArray(R"({"devices":[],"tags":[],"tags":[]})")
                                        << "Project error: JSON error at byte 0 in the project";
    QTest::newRow("array") << QByteArray("[]") << "Project error: no JSON object in the project";
    QTest::newRow("unknown top member") << QByteArray(R"({"devices":[],"tags":[],"name":"x"})")
                                        << "Project error: unknown member name in the project";
    QTest::newRow("no tags") << QByteArray(R"({"devices":[]})") << "Project error: tags that are not an array in the project";
    QTest::newRow("tag not an object") << QByteArray(R"({"devices":[],"tags":[1]})") << "Project error: no JSON object in tag 1";

    QTest::newRow("unknown device in tag 3") << tag(R"({"device":"meter9"})", 3) << "Project error: unknown device meter9 in tag 3";
    QTest::newRow("unknown bad device name") << tag(R"({"device":"a\"b"})") << "Project error: unknown device in tag 1";
    QTest::newRow("duplicate tag name") << tag(R"({"name":"T1"})", 2) << "Project error: duplicate tag name T1 in tag 2";
    QTest::newRow("duplicate device name") << device(R"({"name":"meter1"})", 2)
                                           << "Project error: duplicate device name meter1 in device 2";
    const QString badName = QStringLiteral("Project error: bad name (1-64 characters A-Z a-z 0-9 _ -) in %1");
    QTest::newRow("empty name") << tag(R"({"name":""})") << badName.arg("tag 1");
    QTest::newRow("65-character name") << tag(R"({"name":")" + QByteArray(65, 'x') + R"("})") << badName.arg("tag 1");
    QTest::newRow("name with a blank") << device(R"({"name":"meter 1"})") << badName.arg("device 1");
    QTest::newRow("name with a dot") << tag(R"({"name":"a.b"})") << badName.arg("tag 1");
    QTest::newRow("name not text") << tag(R"({"name":5})") << "Project error: name must be text in tag 1";
    QTest::newRow("misspelt member") << tag(R"({"pollms":100})") << "Project error: unknown member pollms in tag 1";

    QTest::newRow("pollMs 49") << tag(R"({"pollMs":49})") << range.arg("pollMs").arg(50).arg(86400000).arg("tag 1");
    QTest::newRow("pollMs fraction") << tag(R"({"pollMs":100.5})") << range.arg("pollMs").arg(50).arg(86400000).arg("tag 1");
    QTest::newRow("pollMs text") << tag(R"({"pollMs":"100"})") << range.arg("pollMs").arg(50).arg(86400000).arg("tag 1");
    QTest::newRow("pollMs missing") << tag(R"({"pollMs":null})") << "Project error: missing pollMs in tag 1";
    QTest::newRow("regAddr -1") << tag(R"({"regAddr":-1})") << range.arg("regAddr").arg(0).arg(65535).arg("tag 1");
    QTest::newRow("regAddr 2^63") << tag(R"({"regAddr":9223372036854775808})")
                                  << range.arg("regAddr").arg(0).arg(65535).arg("tag 1");
    QTest::newRow("32 bits past 65535") << tag(R"({"regAddr":65535,"valSize":32})")
                                        << "Project error: value reaching past address 65535 in tag 1";
    QTest::newRow("bad table") << tag(R"({"table":"Holding"})")
                               << "Project error: table must be holding, input, coils, discrete in tag 1";
    QTest::newRow("ascii is not numeric") << tag(R"({"regType":"ascii"})")
                                          << "Project error: regType must be int, uint, float in tag 1";
    QTest::newRow("legacy float name") << tag(R"({"regType":"float4321"})")
                                       << "Project error: regType must be int, uint, float in tag 1";
    QTest::newRow("float of 16 bits") << tag(R"({"regType":"float","valSize":16})")
                                      << "Project error: valSize must be 32 or 64 for float in tag 1";
    QTest::newRow("int of 8 bits") << tag(R"({"valSize":8})") << "Project error: valSize must be 16, 32 or 64 in tag 1";
    QTest::newRow("byte order on one register") << tag(R"({"byteOrder":"CDAB"})")
                                                << "Project error: byteOrder must be ABCD for a 16-bit value in tag 1";
    QTest::newRow("scale 0") << tag(R"({"scale":0})") << "Project error: scale of 0 in tag 1";
    QTest::newRow("scale overflowing") << QByteArray(example).replace("\"scale\":1", "\"scale\":1e999")
                                       << "Project error: JSON error at byte 250 in the project";
    QTest::newRow("offset as text") << tag(R"({"offset":"1"})") << "Project error: offset must be a finite number in tag 1";
    QTest::newRow("unit of 33 characters") << tag(R"({"unit":")" + QByteArray(33, 'u') + R"("})")
                                           << "Project error: bad unit (at most 32 characters, no control characters) in tag 1";
    QTest::newRow("writable input register") << tag(R"({"table":"input","writable":true})")
                                             << "Project error: writable tag in the read-only table input in tag 1";
    QTest::newRow("writable as text") << tag(R"({"writable":"yes"})") << "Project error: writable must be true or false in tag 1";

    QTest::newRow("connType TCP") << device(R"({"connType":"TCP"})")
                                  << "Project error: connType must be tcp, rtuovertcp, serial in device 1";
    QTest::newRow("host with a blank") << device(R"({"ipAddres_tcp":"127.0.0.1 x"})")
                                       << "Project error: bad ipAddres_tcp in device 1";
    QTest::newRow("host missing") << device(R"({"ipAddres_tcp":null})") << "Project error: missing ipAddres_tcp in device 1";
    QTest::newRow("port 0") << device(R"({"port_tcp":0})") << range.arg("port_tcp").arg(1).arg(65535).arg("device 1");
    QTest::newRow("TCP unit 256") << device(R"({"slaveID":256})") << range.arg("slaveID").arg(0).arg(255).arg("device 1");
    QTest::newRow("serial unit 0") << device(R"({"connType":"serial","portSelect":"ttyS0","baudRate":3,"mode":3,)"
                                             R"("slaveID":0,"timeout":10})")
                                   << range.arg("slaveID").arg(1).arg(247).arg("device 1");
    QTest::newRow("serial empty port") << device(R"({"connType":"serial","portSelect":" ","baudRate":3,"mode":3,"timeout":10})")
                                       << "Project error: bad portSelect in device 1";
    QTest::newRow("baud index 11") << device(R"({"connType":"serial","portSelect":"ttyS0","baudRate":11,"mode":3,"timeout":10})")
                                   << range.arg("baudRate").arg(0).arg(10).arg("device 1");
    QTest::newRow("mode 4") << device(R"({"connType":"serial","portSelect":"ttyS0","baudRate":3,"mode":4,"timeout":10})")
                            << range.arg("mode").arg(0).arg(3).arg("device 1");
    QTest::newRow("TCP timeout 0") << device(R"({"timeout":0})") << range.arg("timeout").arg(1).arg(60000).arg("device 1");
}
// clang-format on

void TestProject::validate()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, error);
    QCOMPARE(validateProject(json), error);
}

void TestProject::store()
{
    QTemporaryDir dir;
    const ProjectStore store(dir.filePath(QStringLiteral("projects")));
    QCOMPARE(store.save(QStringLiteral("plant_1"), example), QString());
    QCOMPARE(store.save(QStringLiteral("a"), R"({"devices":[],"tags":[]})"), QString());
    QCOMPARE(store.list(), QStringList({"a", "plant_1"}));
    QByteArray json;
    QVERIFY(store.load(QStringLiteral("plant_1"), &json));
    QCOMPARE(json, example);

    // Refused saves leave the saved file as it was.
    QCOMPARE(store.save(QStringLiteral("plant_1"), projectText(1, "{}", 2, R"({"name":"T1"})")),
             QStringLiteral("Project error: duplicate tag name T1 in tag 2"));
    for (const QString &name : QStringList({"", "../plant_1", "a/b", "x.json", QString(65, QLatin1Char('x'))}))
        QCOMPARE(store.save(name, example),
                 QStringLiteral("Project error: bad project name (1-64 characters A-Z a-z 0-9 _ -)"));
    QVERIFY(store.load(QStringLiteral("plant_1"), &json));
    QCOMPARE(json, example);
    QVERIFY(!store.load(QStringLiteral("../projects/plant_1"), &json));
    QCOMPARE(QDir(store.directory()).entryList(QDir::Files), QStringList({"a.json", "plant_1.json"}));

    QVERIFY(store.remove(QStringLiteral("a")));
    QVERIFY(!store.remove(QStringLiteral("a")));
    QCOMPARE(store.list(), QStringList({"plant_1"}));
}

// clang-format off
void TestProject::plan_data()
{
    QTest::addColumn<QString>("tags");
    QTest::addColumn<QString>("reads"); // <table><address>+<count>[tag indexes]

    QTest::newRow("one tag") << "h7" << "h7+1[0]";
    QTest::newRow("neighbours") << "h0 h1 h2" << "h0+3[0,1,2]";
    QTest::newRow("gap of 8 is spanned") << "h0 h9" << "h0+10[0,1]";
    QTest::newRow("gap of 9 is not") << "h0 h10" << "h0+1[0] h10+1[1]";
    QTest::newRow("gap counted from a value's end") << "h0/32 h10" << "h0+11[0,1]";
    QTest::newRow("125 registers, not 126")
            << "h0 h9 h18 h27 h36 h45 h54 h63 h72 h81 h90 h99 h108 h117 h124 h125"
            << "h0+125[0,1,2,3,4,5,6,7,8,9,10,11,12,13,14] h125+1[15]";
    QTest::newRow("input order does not matter") << "h10 h0 h5" << "h0+11[1,2,0]";
    QTest::newRow("overlap and shared address") << "h0/32 h1 h0" << "h0+2[0,2,1]";
    QTest::newRow("64-bit values") << "h0/64 h4u/64 h8/64" << "h0+12[0,2] h4+4[1]";
    QTest::newRow("tables apart") << "h0 i1 c2 d3" << "h0+1[0] i1+1[1] c2+1[2] d3+1[3]";
    QTest::newRow("types apart") << "h0 h1f h3u" << "h0+1[0] h1+2[1] h3+1[2]";
    QTest::newRow("poll periods apart") << "h0 h1@500 h2" << "h0+3[0,2] h1+1[1]";
    QTest::newRow("devices apart") << "h0 h1#1 h2#0" << "h0+3[0,2] h1+1[1]";
    QStringList bits;
    QStringList firstRead;
    for (int address = 0; address <= 1998; address += 9) {
        firstRead << QString::number(bits.size());
        bits << QStringLiteral("c%1").arg(address);
    }
    QTest::newRow("2000 bits, not 2001") << bits.join(' ') + " c1999 c2000"
                                         << QStringLiteral("c0+2000[%1,%2] c2000+1[%3]")
                                                    .arg(firstRead.join(','))
                                                    .arg(bits.size())
                                                    .arg(bits.size() + 1);
    QTest::newRow("bits ignore the value type") << "d0 d1f" << "d0+2[0,1]";
    QTest::newRow("last register") << "h65535 h65534" << "h65534+2[1,0]";
    QTest::newRow("nothing") << "" << "";
}
// clang-format on

void TestProject::plan()
{
    QFETCH(QString, tags);
    QFETCH(QString, reads);
    const Project project = plannedProject(tags);
    QStringList got;
    for (const ReadPlan &plan : planReads(project)) {
        QStringList members;
        for (const PlannedTag &planned : plan.tags) {
            const ProjectTag &tag = project.tags.at(planned.tag);
            QCOMPARE(planned.offset, tag.regAddr - plan.address);
            QVERIFY(planned.offset + tagWidth(tag) <= plan.count);
            QCOMPARE(plan.device, tag.deviceIndex);
            QCOMPARE(plan.pollMs, tag.pollMs);
            members << QString::number(planned.tag);
        }
        QVERIFY(plan.count <= (isBitTable(plan.table) ? kMaxReadBits : kMaxReadRegisters));
        got << QStringLiteral("%1%2+%3[%4]")
                        .arg(QStringLiteral("hicd").at(int(plan.table)))
                        .arg(plan.address)
                        .arg(plan.count)
                        .arg(members.join(QLatin1Char(',')));
    }
    QCOMPARE(got.join(QLatin1Char(' ')), reads);
}

static ProjectTag scaledTag(const QString &type, int valSize, double scale, double offset)
{
    ProjectTag tag;
    tag.table = type == QLatin1String("bit") ? TagTable::Coils : TagTable::Holding;
    tag.type = type == QLatin1String("float") ? TagType::Float
            : type == QLatin1String("uint")   ? TagType::Uint
                                              : TagType::Int;
    tag.valSize = valSize;
    tag.scale = scale;
    tag.offset = offset;
    return tag;
}

// clang-format off
void TestProject::scale_data()
{
    QTest::addColumn<double>("raw");
    QTest::addColumn<QString>("type");
    QTest::addColumn<int>("valSize");
    QTest::addColumn<double>("scale");
    QTest::addColumn<double>("offset");
    QTest::addColumn<QByteArray>("v");

    QTest::newRow("float32 as its shortest decimal") << double(231.4f) << "float" << 32 << 1.0 << 0.0 << QByteArray("231.4");
    QTest::newRow("float64 kept") << 231.39999389648438 << "float" << 64 << 1.0 << 0.0 << QByteArray("231.39999389648438");
    QTest::newRow("scaled to 15 digits") << 3.0 << "int" << 16 << 0.1 << 0.0 << QByteArray("0.3");
    QTest::newRow("raw * scale + offset") << 2314.0 << "uint" << 16 << 0.1 << -1.5 << QByteArray("229.9");
    QTest::newRow("uint64 unscaled") << 18446744073709551615.0 << "uint" << 64 << 1.0 << 0.0
                                     << QByteArray("18446744073709552000");
    QTest::newRow("bit") << 1.0 << "bit" << 16 << 100.0 << 0.0 << QByteArray("100");
}
// clang-format on

void TestProject::scale()
{
    QFETCH(double, raw);
    QFETCH(QString, type);
    QFETCH(int, valSize);
    QFETCH(double, scale);
    QFETCH(double, offset);
    QFETCH(QByteArray, v);
    TagReading reading;
    reading.hasValue = true;
    reading.value = scaleValue(raw, scaledTag(type, valSize, scale, offset));
    reading.valueTime = reading.outcomeTime = 5;
    reading.outcome = TagOutcome::Ok;
    QCOMPARE(tagLogCell(reading, 1000, 5), v);
}

// clang-format off
void TestProject::unscale_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("type");
    QTest::addColumn<int>("valSize");
    QTest::addColumn<double>("scale");
    QTest::addColumn<double>("offset");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<double>("raw");

    QTest::newRow("inverse of the scale") << 229.9 << "uint" << 16 << 0.1 << -1.5 << true << 2314.0;
    QTest::newRow("rounded to nearest") << 12.6 << "int" << 16 << 1.0 << 0.0 << true << 13.0;
    QTest::newRow("no -0") << -0.4 << "int" << 16 << 1.0 << 0.0 << true << 0.0;
    QTest::newRow("int16 top") << 32767.0 << "int" << 16 << 1.0 << 0.0 << true << 32767.0;
    QTest::newRow("int16 past top") << 32768.0 << "int" << 16 << 1.0 << 0.0 << false << 0.0;
    QTest::newRow("int16 bottom") << -32768.0 << "int" << 16 << 1.0 << 0.0 << true << -32768.0;
    QTest::newRow("uint16 -1") << -1.0 << "uint" << 16 << 1.0 << 0.0 << false << 0.0;
    QTest::newRow("uint32 top") << 4294967295.0 << "uint" << 32 << 1.0 << 0.0 << true << 4294967295.0;
    QTest::newRow("int64 2^63") << 9223372036854775808.0 << "int" << 64 << 1.0 << 0.0 << false << 0.0;
    QTest::newRow("int64 -2^63") << -9223372036854775808.0 << "int" << 64 << 1.0 << 0.0 << true << -9223372036854775808.0;
    QTest::newRow("uint64 2^64") << 18446744073709551616.0 << "uint" << 64 << 1.0 << 0.0 << false << 0.0;
    QTest::newRow("float32 beyond range") << 1e39 << "float" << 32 << 1.0 << 0.0 << false << 0.0;
    QTest::newRow("float64 1e39") << 1e39 << "float" << 64 << 1.0 << 0.0 << true << 1e39;
    QTest::newRow("NaN") << std::nan("") << "float" << 64 << 1.0 << 0.0 << false << 0.0;
    QTest::newRow("bit 1") << 100.0 << "bit" << 16 << 100.0 << 0.0 << true << 1.0;
    QTest::newRow("bit 2") << 2.0 << "bit" << 16 << 1.0 << 0.0 << false << 0.0;
}
// clang-format on

void TestProject::unscale()
{
    QFETCH(double, value);
    QFETCH(QString, type);
    QFETCH(int, valSize);
    QFETCH(double, scale);
    QFETCH(double, offset);
    QFETCH(bool, ok);
    QFETCH(double, raw);
    double got = 0;
    QCOMPARE(unscaleValue(value, scaledTag(type, valSize, scale, offset), &got), ok);
    if (ok) {
        QCOMPARE(got, raw);
        QVERIFY(!std::signbit(got) || got != 0);
    }
}

// clang-format off
void TestProject::valuesJson_data()
{
    QTest::addColumn<int>("outcome");
    QTest::addColumn<int>("exceptionCode");
    QTest::addColumn<bool>("hasValue");
    QTest::addColumn<double>("value");
    QTest::addColumn<qint64>("now");
    QTest::addColumn<QByteArray>("json");

    const int ok = int(TagOutcome::Ok);
    const qint64 read = 1765339200123; // value and outcome time of every row
    QTest::newRow("the issue's example")
            << ok << 0 << true << 231.4 << read
            << QByteArray(R"({"project":"name","tags":{"L1_V":{"v":231.4,"t":1765339200123,"q":"ok"}}})");
    QTest::newRow("three periods are still fresh")
            << ok << 0 << true << -2.5 << read + 3000
            << QByteArray(R"({"project":"name","tags":{"L1_V":{"v":-2.5,"t":1765339200123,"q":"ok"}}})");
    QTest::newRow("stale after three periods")
            << ok << 0 << true << 1.0 << read + 3001
            << QByteArray(R"({"project":"name","tags":{"L1_V":{"v":1,"t":1765339200123,"q":"stale"}}})");
    QTest::newRow("never read") << int(TagOutcome::None) << 0 << false << 0.0 << read
                                << QByteArray(R"({"project":"name","tags":{"L1_V":{"v":null,"t":null,"q":"stale"}}})");
    QTest::newRow("timeout keeps the last value")
            << int(TagOutcome::Timeout) << 0 << true << 7.0 << read
            << QByteArray(R"({"project":"name","tags":{"L1_V":{"v":7,"t":1765339200123,"q":"timeout"}}})");
    QTest::newRow("exception 02") << int(TagOutcome::Exception) << 2 << false << 0.0 << read
                                  << QByteArray(R"({"project":"name","tags":{"L1_V":{"v":null,"t":null,"q":"exception 02"}}})");
    QTest::newRow("exception 0A") << int(TagOutcome::Exception) << 10 << false << 0.0 << read
                                  << QByteArray(R"({"project":"name","tags":{"L1_V":{"v":null,"t":null,"q":"exception 0A"}}})");
    QTest::newRow("not connected") << int(TagOutcome::NotConnected) << 0 << false << 0.0 << read
                                   << QByteArray(R"({"project":"name","tags":{"L1_V":{"v":null,"t":null,"q":"not connected"}}})");
    QTest::newRow("NaN float") << ok << 0 << true << std::nan("") << read
                               << QByteArray(R"({"project":"name","tags":{"L1_V":{"v":null,"t":1765339200123,"q":"ok"}}})");
}
// clang-format on

void TestProject::valuesJson()
{
    QFETCH(int, outcome);
    QFETCH(int, exceptionCode);
    QFETCH(bool, hasValue);
    QFETCH(double, value);
    QFETCH(qint64, now);
    QFETCH(QByteArray, json);
    Project project;
    QVERIFY(validateProject(example, &project).isEmpty());
    TagReading reading;
    reading.outcome = TagOutcome(outcome);
    reading.exceptionCode = exceptionCode;
    reading.hasValue = hasValue;
    reading.value = value;
    reading.valueTime = reading.outcomeTime = 1765339200123;
    QCOMPARE(tagValuesJson(QStringLiteral("name"), project, {reading}, now), json);
}

QTEST_GUILESS_MAIN(TestProject)
#include "tst_project.moc"
