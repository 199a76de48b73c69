// Register tables, bring-up sequences and the sensors' bring-up against simulated devices.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>

#include "sensor/EventSensors.h"
#include "sensor/tables/RegisterTables.h"
#include "zelvan/Interface.h"
#include "zelvan/Logger.h"
#include "zelvan/RegisterController.h"
#include "zelvan/sim/SimDevice.h"

namespace zelvan {
namespace {

struct Counts {
    size_t registers = 0, fields = 0, aliases = 0;
};

Counts countRows(const RegisterInfo* table, size_t rows) {
    Counts c;
    for (size_t i = 0; i < rows; ++i) {
        if (table[i].kind == RegisterInfo::kRegister) ++c.registers;
        if (table[i].kind == RegisterInfo::kField) ++c.fields;
        if (table[i].kind == RegisterInfo::kAlias) ++c.aliases;
    }
    return c;
}

RegisterMap mapOf(const RegisterInfo* table, size_t rows) {
    RegisterMap map;
    EXPECT_EQ(buildRegisterMap(table, rows, map), 0u) << "rows out of order";
    return map;
}

std::string messageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

// --- Tables ---

TEST(RegisterTables, CountsOfRowsRegistersFieldsAndAliases) {
    EXPECT_EQ(kImx636RegisterTableSize, 2879u);
    const Counts imx = countRows(kImx636RegisterTable, kImx636RegisterTableSize);
    EXPECT_EQ(imx.registers, 742u);
    EXPECT_EQ(imx.fields, 2011u);
    EXPECT_EQ(imx.aliases, 126u);
    EXPECT_EQ(mapOf(kImx636RegisterTable, kImx636RegisterTableSize).size(), 742u);

    EXPECT_EQ(kGenx320RegisterTableSize, 796u);
    const Counts genx = countRows(kGenx320RegisterTable, kGenx320RegisterTableSize);
    EXPECT_EQ(genx.registers, 226u);
    EXPECT_EQ(genx.fields, 570u);
    EXPECT_EQ(genx.aliases, 0u);
    EXPECT_EQ(mapOf(kGenx320RegisterTable, kGenx320RegisterTableSize).size(), 226u);

    EXPECT_EQ(kFusionBoardRegisterTableSize, 17u);
    const Counts board = countRows(kFusionBoardRegisterTable, kFusionBoardRegisterTableSize);
    EXPECT_EQ(board.registers, 11u);
    EXPECT_EQ(board.fields, 6u);
    EXPECT_EQ(mapOf(kFusionBoardRegisterTable, kFusionBoardRegisterTableSize).size(), 11u);
}

TEST(RegisterTables, EveryFieldFitsItsRegisterAndNamesAreUnique) {
    using Table = std::pair<const RegisterInfo*, size_t>;
    for (const auto& [table, rows] : {Table{kImx636RegisterTable, kImx636RegisterTableSize},
                                      Table{kGenx320RegisterTable, kGenx320RegisterTableSize},
                                      Table{kFusionBoardRegisterTable, kFusionBoardRegisterTableSize}}) {
        std::set<std::string> registers;
        std::set<std::string> fields;
        std::string current;
        for (size_t i = 0; i < rows; ++i) {
            const RegisterInfo& row = table[i];
            ASSERT_NE(row.name, nullptr);
            if (row.kind == RegisterInfo::kRegister) {
                EXPECT_TRUE(registers.insert(row.name).second) << "register listed twice: " << row.name;
                fields.clear();
                current = row.name;
            } else if (row.kind == RegisterInfo::kField) {
                EXPECT_TRUE(fields.insert(row.name).second) << current << "." << row.name;
                EXPECT_GE(row.second, 1u) << current << "." << row.name;
                EXPECT_LE(row.first + row.second, 32u) << current << "." << row.name;
                if (row.second < 32) {
                    EXPECT_LT(row.third, 1u << row.second) << current << "." << row.name;
                }
            } else {
                EXPECT_EQ(row.kind, RegisterInfo::kAlias);
            }
        }
    }
}

TEST(RegisterTables, AliasesOnlyOnTheRegionOfInterestOfTheImx636Family) {
    const RegisterMap imx = mapOf(kImx636RegisterTable, kImx636RegisterTableSize);
    size_t aliased = 0;
    for (const auto& [name, reg] : imx) {
        for (const auto& [fname, field] : reg.get_fields()) {
            if (field.get_aliases().empty()) continue;
            ++aliased;
            EXPECT_EQ(name.rfind("roi/td_roi_", 0), 0u) << name;
            EXPECT_EQ(fname, "effective");
            EXPECT_EQ(field.get_aliases().size(), 2u);
            EXPECT_EQ(field.get_aliases().at("enable"), 0u);
            EXPECT_EQ(field.get_aliases().at("disable"), field.get_mask());
            EXPECT_EQ(field.get_default_value(), 0u);
        }
    }
    EXPECT_EQ(aliased, 63u);
    EXPECT_EQ(imx["roi/td_roi_x39"].get_address(), 0x209Cu);
    EXPECT_EQ(imx["roi/td_roi_x39"]["effective"].get_aliases().at("disable"), 0xFFFFFFFFu);
    EXPECT_EQ(imx["roi/td_roi_y22"]["effective"].get_len(), 16u);
    EXPECT_EQ(imx["roi/td_roi_y22"]["effective"].get_aliases().at("disable"), 0xFFFFu);

    const RegisterMap genx = mapOf(kGenx320RegisterTable, kGenx320RegisterTableSize);
    EXPECT_EQ(genx["roi/td_roi_x09"]["effective"].get_default_value(), 0xFFFFFFFFu);
    EXPECT_TRUE(genx["roi/td_roi_y00"]["effective"].get_aliases().empty());
}

TEST(RegisterTables, LookupsAndTheirErrors) {
    const RegisterMap imx = mapOf(kImx636RegisterTable, kImx636RegisterTableSize);
    const RegisterMap genx = mapOf(kGenx320RegisterTable, kGenx320RegisterTableSize);
    EXPECT_EQ(imx["erc/Reserved_6B94"].get_address(), 0x6B94u);
    EXPECT_EQ(imx["erc/Reserved_6800"].get_address(), 0x6800u);
    EXPECT_EQ(imx["erc/t_drop_lut_99"].get_address(), 0x6400u + 4 * 99);
    EXPECT_EQ(imx["erc/t_drop_lut_100"].get_address(), 0x6400u + 4 * 100);
    EXPECT_EQ(imx["erc/t_drop_lut_255"]["tlut511"].get_start(), 16u);
    EXPECT_EQ(imx["erc/h_drop_lut_07"]["hlut31"].get_start(), 24u);
    EXPECT_EQ(imx["mipi_csi/mipi_control"].get_fields().size(), 11u);
    EXPECT_EQ(imx["mipi_csi/mipi_control"]["Reserved_31_10"].get_len(), 22u);
    EXPECT_EQ(imx["bias/bias_diff_on"]["Reserved_27_8"].get_default_value(), 0x1A163u);
    EXPECT_EQ(imx["roi_ctrl"]["Reserved_17_11"].get_default_value(), 0xAu);
    EXPECT_EQ(genx["bias/bias_pr_hv0"]["bias_ctl"].get_default_value(), 0x3Du);
    EXPECT_EQ(genx["bias/bias_pr_hv0"]["single"].get_start(), 28u);

    EXPECT_EQ(messageOf([&] { (void)genx["dig_pad2_ctrl"]; }), "RegisterController: Register not found");
    EXPECT_EQ(messageOf([&] { (void)imx["ROI_CTRL"]; }), "RegisterController: Register not found")
        << "case matters";
    const Register& irq = genx["erc/irq_status"];
    EXPECT_TRUE(irq.get_fields().empty());
    for (const char* name : {"val", "effective", "", "Reserved_31_0"})
        EXPECT_EQ(messageOf([&] { (void)irq[name]; }), "Register: Field not found") << name;
    EXPECT_EQ(irq.get_value(), 0u);
}

TEST(RegisterTables, FieldsTheBringUpWrites) {
    const RegisterMap imx = mapOf(kImx636RegisterTable, kImx636RegisterTableSize);
    const RegisterMap genx = mapOf(kGenx320RegisterTable, kGenx320RegisterTableSize);
    struct Expect {
        const RegisterMap* map;
        const char* reg;
        const char* field;
        uint32_t address, start, len, def;
    };
    const Expect expected[] = {
        {&imx, "iph_mirr_ctrl", "iph_mirr_amp_en", 0x0074, 1, 1, 1},
        {&imx, "lifo_ctrl", "lifo_cnt_en", 0x000C, 2, 1, 0},
        {&imx, "adc_control", "Reserved_31_3", 0x004C, 3, 29, 0xEC8},
        {&imx, "adc_misc_ctrl", "adc_buf_cal_en", 0x0054, 1, 1, 0},
        {&imx, "temp_ctrl", "temp_buf_en", 0x005C, 1, 1, 0},
        {&imx, "ro/time_base_ctrl", "Reserved_10_4", 0x9008, 4, 7, 0x64},
        {&imx, "dig_pad2_ctrl", "pad_sync", 0x0044, 16, 4, 0xF},
        {&genx, "lifo_ctrl", "lifo_en", 0x0008, 0, 1, 0},
        {&genx, "adc_control", "adc_clk_div", 0x004C, 4, 16, 0x4E2},
        {&genx, "adc_misc_ctrl", "adc_temp", 0x0054, 17, 1, 0},
        {&genx, "temp_ctrl", "temp_buf_cal_en", 0x005C, 1, 1, 0},
        {&genx, "ro/time_base_ctrl", "us_counter_max", 0x9008, 4, 7, 0x32},
        {&genx, "ro/time_base_ctrl", "th_every_64us_en", 0x9008, 11, 1, 0},
    };
    for (const auto& e : expected) {
        const Register& r = (*e.map)[e.reg];
        EXPECT_EQ(r.get_address(), e.address) << e.reg;
        const Register::Field& f = r[e.field];
        EXPECT_EQ(f.get_start(), e.start) << e.reg << "." << e.field;
        EXPECT_EQ(f.get_len(), e.len) << e.reg << "." << e.field;
        EXPECT_EQ(f.get_default_value(), e.def) << e.reg << "." << e.field;
    }
    EXPECT_EQ(genx["iph_mirr_ctrl"].get_fields().size(), 1u);
}

TEST(RegisterTables, BoardTableCarriesTheBlackLevelOffsetAsARegisterRow) {
    const RegisterInfo* row = nullptr;
    for (size_t i = 0; i < kFusionBoardRegisterTableSize; ++i)
        if (std::string(kFusionBoardRegisterTable[i].name) == "aps_blk_level_offset")
            row = &kFusionBoardRegisterTable[i];
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->kind, RegisterInfo::kRegister);
    EXPECT_EQ(row->first, 0u);
    EXPECT_EQ(row->second, 10u);
    EXPECT_EQ(row->third, 50u);
    const RegisterMap board = mapOf(kFusionBoardRegisterTable, kFusionBoardRegisterTableSize);
    EXPECT_TRUE(board["aps_blk_level"].get_fields().empty());
    EXPECT_EQ(board["aps_shutter"]["aps_shutter_sweep_time"].get_default_value(), 102u);
    EXPECT_EQ(board["camera_reset"].get_address(), 0x6002u);
}

// --- Sequences ---

TEST(RegisterSequences, LengthsAndTheStandbyStartCounterparts) {
    EXPECT_EQ(imx636StandbySequence().size(), 7u);
    EXPECT_EQ(imx636PowerUpSequence().size(), 27u);
    EXPECT_EQ(imx636ConfigurationSequence().size(), 81u);
    EXPECT_EQ(imx636StartSequence().size(), 5u);
    EXPECT_EQ(genx320StandbySequence().size(), 7u);
    EXPECT_EQ(genx320ConfigurationSequence().size(), 28u);

    // Standby and start touch the same registers with opposite values.
    std::map<uint32_t, std::pair<uint32_t, uint32_t>> standby;  // address -> (value, mask)
    for (const auto& op : imx636StandbySequence())
        if (op.kind != RegisterOperation::kPause) standby[op.address] = {op.value, op.mask};
    std::map<uint32_t, std::pair<uint32_t, uint32_t>> start;
    for (const auto& op : imx636StartSequence()) start[op.address] = {op.value, op.mask};
    ASSERT_EQ(standby.size(), start.size());
    EXPECT_EQ(standby.at(0x0004).second, 0x400u);
    EXPECT_EQ(standby.at(0x0004).first & 0x400u, 0u);
    EXPECT_EQ(start.at(0x0004).first & 0x400u, 0x400u);
    EXPECT_EQ(standby.at(0x9028).first, 2u);
    EXPECT_EQ(start.at(0x9028).first, 0u);
    EXPECT_EQ(standby.at(0xB000).first, 0x2F8u);
    EXPECT_EQ(start.at(0xB000).first, 0x2F9u);

    uint64_t pause_us = 0;
    for (const auto* seq :
         {&imx636StandbySequence(), &imx636PowerUpSequence(), &imx636ConfigurationSequence()})
        for (const auto& op : *seq) {
            if (op.kind == RegisterOperation::kPause) {
                pause_us += op.pause;
                EXPECT_EQ(op.address, 0u);
                EXPECT_EQ(op.value, 0u);
            } else {
                EXPECT_EQ(op.pause, 0u);
            }
        }
    EXPECT_GT(pause_us, 2'500'000u);
    EXPECT_LT(pause_us, 2'600'000u);
    EXPECT_EQ(genx320ConfigurationSequence().back(), (RegisterOperation{2, 0x0000, 0, 0, 0}));
}

// --- Bring-up against a simulated device ---

sim::SimDeviceConfig deviceConfig(const std::string& serial, bool genx320) {
    sim::SimDeviceConfig c;
    c.description.serial = serial;
    c.description.vendorId = genx320 ? 0x04B5 : 0x04B4;
    c.description.productId = genx320 ? 0xFFFF : 0x00F5;
    c.description.product = genx320 ? "Zelvan.320camera" : "EVK4";
    c.width = genx320 ? 320 : 1280;
    c.height = genx320 ? 320 : 720;
    c.event_rate = 200'000;
    c.paced = false;
    c.settle_scale = 0;
    return c;
}

// A register file model: what a device must hold after the writes and which writes it must see.
struct Expectation {
    std::map<uint32_t, uint32_t> regs;
    std::vector<sim::RegisterWrite> writes;

    uint32_t at(uint32_t a) const {
        auto it = regs.find(a);
        return it == regs.end() ? 0 : it->second;
    }
    void write(uint32_t a, uint32_t v) {
        regs[a] = v;
        writes.push_back({a, v});
    }
    void sequence(const std::vector<RegisterOperation>& ops) {
        for (const auto& op : ops) {
            if (op.kind == RegisterOperation::kWrite) write(op.address, op.value);
            if (op.kind == RegisterOperation::kMaskedWrite)
                write(op.address, (at(op.address) & ~op.mask) | (op.value & op.mask));
        }
    }
    void field(const RegisterMap& map, const std::string& reg, const std::string& field, uint32_t v) {
        const Register& r = map[reg];
        const Register::Field& f = r[field];
        write(r.get_address(), (at(r.get_address()) & ~f.get_mask()) | ((v << f.get_start()) & f.get_mask()));
    }
};

class BringUp : public ::testing::Test {
protected:
    void open(bool genx320) {
        const auto config = deviceConfig("BRINGUP" + std::to_string(::getpid()), genx320);
        sim::SimulatedCameras::instance().reset({config});
        device_ = sim::SimulatedCameras::instance().find(config.description.serial);
        ASSERT_NE(device_, nullptr);
        interface_ = UsbInterface::createUsbInterface(config.description);
        ASSERT_NE(interface_, nullptr);
        controller_ =
            genx320 ? std::make_shared<RegisterController>(interface_, kGenx320RegisterTable,
                                                           kGenx320RegisterTableSize, kGenx320RegisterPrefix)
                    : std::make_shared<RegisterController>(interface_, kImx636RegisterTable,
                                                           kImx636RegisterTableSize, kImx636RegisterPrefix);
        expected_.regs = device_->registers();
    }
    void TearDown() override {
        interface_.reset();
        device_.reset();
        sim::SimulatedCameras::instance().restoreDefault();
    }
    template <typename S>
    void wire(S& sensor, bool sequences = true, bool fields = true) {
        auto controller = controller_;
        if (sequences)
            sensor.setApplyRegisterOperationSequenceCallback(
                [this, controller](const std::vector<RegisterOperation>& s) {
                    applied_.push_back(s);
                    return controller->applyRegisterOperationSequence(s);
                });
        if (fields)
            sensor.setWriteRegisterFieldCallback(
                [controller](const std::string& r, const std::string& f, uint32_t v) {
                    controller->writeRegisterField(r, f, v);
                });
    }

    std::shared_ptr<sim::SimDevice> device_;
    std::shared_ptr<UsbInterface> interface_;
    std::shared_ptr<RegisterController> controller_;
    std::vector<std::vector<RegisterOperation>> applied_;
    Expectation expected_;
};

TEST_F(BringUp, Imx6x6InitWritesTheSequencesAndFieldStepsInOrder) {
    open(false);
    Imx6x6Sensor sensor;
    wire(sensor);
    ScopedLogCapture log;
    ASSERT_EQ(sensor.init(interface_), 0);
    EXPECT_TRUE(log.contains(LOG_INFO, "Imx6x6Sensor init success!"));
    EXPECT_TRUE(sensor.isInitialised());
    ASSERT_NE(sensor.eventStream(), nullptr);

    const RegisterMap& map = controller_->registerMap();
    expected_.sequence(imx636StandbySequence());
    expected_.sequence(imx636PowerUpSequence());
    expected_.sequence(imx636ConfigurationSequence());
    expected_.field(map, "adc_control", "adc_en", 1);
    expected_.field(map, "adc_control", "adc_clk_en", 1);
    expected_.field(map, "adc_misc_ctrl", "adc_buf_cal_en", 1);
    expected_.field(map, "temp_ctrl", "temp_buf_en", 1);
    expected_.field(map, "temp_ctrl", "temp_buf_cal_en", 1);
    expected_.field(map, "adc_control", "adc_clk_en", 0);
    expected_.field(map, "iph_mirr_ctrl", "iph_mirr_en", 1);
    expected_.field(map, "iph_mirr_ctrl", "iph_mirr_amp_en", 1);
    expected_.field(map, "lifo_ctrl", "lifo_en", 1);
    expected_.field(map, "lifo_ctrl", "lifo_out_en", 1);
    expected_.field(map, "lifo_ctrl", "lifo_cnt_en", 1);
    expected_.field(map, "ro/time_base_ctrl", "time_base_mode", 0);
    expected_.field(map, "ro/time_base_ctrl", "external_mode", 1);
    expected_.field(map, "ro/time_base_ctrl", "external_mode_enable", 0);
    expected_.field(map, "ro/time_base_ctrl", "Reserved_10_4", 100);
    EXPECT_EQ(device_->writeLog(), expected_.writes);
    EXPECT_EQ(device_->registers(), expected_.regs);
    EXPECT_FALSE(device_->isEmitting()) << "initialised, not started";

    // Start and stop: the start and standby sequences, and the device streams only in between.
    device_->clearWriteLog();
    applied_.clear();
    ASSERT_EQ(sensor.start(), 0);
    EXPECT_TRUE(device_->isEmitting());
    EXPECT_TRUE(sensor.eventStream()->isStarted());
    ASSERT_EQ(sensor.stop(), 0);
    EXPECT_FALSE(device_->isEmitting());
    EXPECT_FALSE(sensor.eventStream()->isStarted());
    ASSERT_EQ(applied_.size(), 2u);
    EXPECT_EQ(applied_[0], imx636StartSequence());
    EXPECT_EQ(applied_[1], imx636StandbySequence());
    EXPECT_EQ(applied_[1].size(), 7u);
    expected_.writes.clear();
    expected_.sequence(imx636StartSequence());
    expected_.sequence(imx636StandbySequence());
    EXPECT_EQ(device_->writeLog(), expected_.writes);
}

TEST_F(BringUp, Genx320InitWritesItsSequencesAndStartStopApplyNone) {
    open(true);
    Genx320Sensor sensor;
    wire(sensor);
    ScopedLogCapture log;
    ASSERT_EQ(sensor.init(interface_), 0);
    EXPECT_TRUE(log.contains(LOG_INFO, "Genx320Sensor init success!"));
    const RegisterMap& map = controller_->registerMap();
    expected_.sequence(genx320StandbySequence());
    expected_.sequence(genx320ConfigurationSequence());
    expected_.field(map, "adc_control", "adc_en", 1);
    expected_.field(map, "adc_control", "adc_clk_en", 1);
    expected_.field(map, "adc_misc_ctrl", "adc_buf_cal_en", 1);
    expected_.field(map, "temp_ctrl", "temp_buf_en", 1);
    expected_.field(map, "temp_ctrl", "temp_buf_cal_en", 1);
    expected_.field(map, "adc_control", "adc_clk_en", 0);
    expected_.field(map, "iph_mirr_ctrl", "iph_mirr_en", 1);
    expected_.field(map, "lifo_ctrl", "lifo_en", 1);
    expected_.field(map, "ro/time_base_ctrl", "time_base_mode", 0);
    expected_.field(map, "ro/time_base_ctrl", "external_mode", 1);
    expected_.field(map, "ro/time_base_ctrl", "external_mode_enable", 0);
    expected_.field(map, "ro/time_base_ctrl", "us_counter_max", 100);
    expected_.field(map, "ro/time_base_ctrl", "th_every_64us_en", 1);
    EXPECT_EQ(device_->writeLog(), expected_.writes);
    EXPECT_EQ(applied_.size(), 2u);

    device_->clearWriteLog();
    applied_.clear();
    ASSERT_EQ(sensor.start(), 0);
    EXPECT_TRUE(sensor.eventStream()->isStarted());
    ASSERT_EQ(sensor.stop(), 0);
    EXPECT_FALSE(sensor.eventStream()->isStarted());
    EXPECT_TRUE(applied_.empty());
    EXPECT_TRUE(device_->writeLog().empty());
}

TEST_F(BringUp, StartBeforeInitIsRefused) {
    open(false);
    Imx6x6Sensor imx;
    Genx320Sensor genx;
    wire(imx);
    wire(genx);
    ScopedLogCapture log;
    EXPECT_EQ(imx.start(), -1);
    EXPECT_TRUE(log.contains(LOG_ERROR, "Please initialize the Imx6x6Sensor first!"));
    EXPECT_EQ(genx.start(), -1);
    EXPECT_TRUE(log.contains(LOG_ERROR, "Please initialize the Genx320Sensor first!"));
    EXPECT_TRUE(device_->writeLog().empty());
}

TEST_F(BringUp, MissingCallablesAreLoggedAndWriteNothing) {
    open(false);
    {
        Imx6x6Sensor sensor;
        ScopedLogCapture log;
        EXPECT_EQ(sensor.init(interface_), -1);
        EXPECT_NE(sensor.eventStream(), nullptr) << "the stream is created first";
        EXPECT_FALSE(sensor.isInitialised());
        EXPECT_TRUE(log.contains(LOG_ERROR, "Imx6x6Sensor init failed! No sequence callback provided!"));
        EXPECT_EQ(sensor.stop(), -1);
        EXPECT_EQ(log.count(LOG_ERROR, "Imx6x6Sensor init failed! No sequence callback provided!"), 2u);
        EXPECT_TRUE(device_->writeLog().empty());
    }
    {
        Genx320Sensor sensor;
        ScopedLogCapture log;
        EXPECT_EQ(sensor.init(interface_), -1);
        EXPECT_EQ(sensor.stop(), -1);
        EXPECT_EQ(log.count(LOG_ERROR, "Genx320Sensor init failed! No sequence callback provided!"), 2u);
        EXPECT_TRUE(device_->writeLog().empty());
    }
    {
        // Without the field callable every field step is skipped with its message; the sequences still run.
        Imx6x6Sensor sensor;
        wire(sensor, true, false);
        ScopedLogCapture log;
        EXPECT_EQ(sensor.init(interface_), 0);
        EXPECT_EQ(log.count(LOG_ERROR, "Imx6x6Sensor init failed! No write register callback provided!"), 4u);
        expected_.sequence(imx636StandbySequence());
        expected_.sequence(imx636PowerUpSequence());
        expected_.sequence(imx636ConfigurationSequence());
        EXPECT_EQ(device_->writeLog(), expected_.writes);
    }
}

TEST_F(BringUp, GetNextBufferIsEmptyWhileTheStreamIsStopped) {
    open(false);
    Imx6x6Sensor sensor;
    wire(sensor);
    EXPECT_FALSE(sensor.getNextBuffer().has_value()) << "no stream yet";
    ASSERT_EQ(sensor.init(interface_), 0);
    EXPECT_FALSE(sensor.getNextBuffer().has_value()) << "stream not started: the wait reports 0";
    ASSERT_EQ(sensor.start(), 0);
    std::optional<RawBuffer> buffer;
    for (int i = 0; i < 50 && !buffer; ++i) buffer = sensor.getNextBuffer();
    ASSERT_TRUE(buffer.has_value());
    EXPECT_FALSE((*buffer)->empty());
    EXPECT_EQ(sensor.stop(), 0);
}

TEST(Imx415Sensor, WritesTheFrameControlRegisterAndNeedsItsCallable) {
    sim::SimDeviceConfig config = deviceConfig("IMX415" + std::to_string(::getpid()), false);
    config.description.product = "Tandra";
    config.description.vendorId = 0x2207;
    config.description.productId = 0x0006;
    sim::SimulatedCameras::instance().reset({config});
    auto interface = UsbInterface::createUsbFusionInterface(config.description);
    ASSERT_NE(interface, nullptr);
    {
        Imx415Sensor sensor;
        EXPECT_EQ(sensor.stop(), 0) << "before init: nothing to do";
        EXPECT_THROW(sensor.init(interface), std::bad_function_call);
    }
    Imx415Sensor sensor;
    EXPECT_EQ(sensor.width(), 3840);
    EXPECT_EQ(sensor.height(), 2160);
    std::vector<std::pair<std::string, uint32_t>> writes;
    sensor.setWriteRegisterCallback([&](const std::string& reg, uint32_t v) { writes.emplace_back(reg, v); });
    EXPECT_EQ(sensor.stop(), 0);
    EXPECT_TRUE(writes.empty());
    ScopedLogCapture log;
    ASSERT_EQ(sensor.init(interface), 0);
    EXPECT_TRUE(log.contains(LOG_INFO, "Imx415Sensor init success!"));
    ASSERT_EQ(sensor.start(), 0);
    ASSERT_EQ(sensor.stop(), 0);
    const std::vector<std::pair<std::string, uint32_t>> expected = {
        {"aps_ctrl", 0}, {"aps_ctrl", 1}, {"aps_ctrl", 0}};
    EXPECT_EQ(writes, expected);
    interface.reset();
    sim::SimulatedCameras::instance().restoreDefault();
}

TEST(SensorTiming, WaitsAtLeastTheRequestedTime) {
    const auto t0 = std::chrono::steady_clock::now();
    sensor_timing::waitNanoseconds(2'000'000);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2));
    const auto t1 = std::chrono::steady_clock::now();
    sensor_timing::waitNanoseconds(0);
    sensor_timing::waitNanoseconds(-5);
    EXPECT_LT(std::chrono::steady_clock::now() - t1, std::chrono::milliseconds(50));
}

}  // namespace
}  // namespace zelvan
