#!/usr/bin/env python3
"""Writes the C++ sources of the sensor register tables and the bring-up sequences.

    python3 gen_tables.py [OUTPUT_DIR]     (default: the directory of this script)

The generated files are committed, so building the library needs no Python. Rerun this script after
changing anything below and commit its output with it.

A table is a list of rows in the RegisterInfo layout: a register row (kind 0: name, address) opens a
register, the field rows (kind 1: name, start bit, length, default) that follow belong to it, and the
alias rows (kind 2: name, value) that follow a field row belong to that field.
"""

import os
import re
import sys

# --------------------------------------------------------------------------------------------------
# Helpers


def rsv(lo, hi=None, default=0):
    """A reserved bit range, named after its bits ("Reserved_8", "Reserved_17_11")."""
    if hi is None or hi == lo:
        return ("Reserved_%d" % lo, lo, 1, default)
    return ("Reserved_%d_%d" % (hi, lo), lo, hi - lo + 1, default)


def f(name, start, length, default=0, aliases=None):
    return (name, start, length, default, aliases or [])


def norm(field):
    if len(field) == 4:
        return (field[0], field[1], field[2], field[3], [])
    return field


class Table:
    def __init__(self):
        self.regs = []  # (name, address, [fields])
        self.names = set()

    def reg(self, name, address, *fields):
        assert name not in self.names, name
        self.names.add(name)
        fields = [norm(x) for x in fields]
        seen = set()
        for fl in fields:
            assert fl[0] not in seen, (name, fl[0])
            seen.add(fl[0])
            assert 1 <= fl[2] <= 32 and fl[1] + fl[2] <= 32, (name, fl)
            assert fl[3] < (1 << fl[2]), (name, fl)
        self.regs.append([name, address, fields])

    def fields(self, name):
        for r in self.regs:
            if r[0] == name:
                return r[2]
        raise KeyError(name)

    def counts(self):
        nf = sum(len(r[2]) for r in self.regs)
        na = sum(len(fl[4]) for r in self.regs for fl in r[2])
        return len(self.regs), nf, na, len(self.regs) + nf + na


def word(name, default=0):
    """A register that is one 32-bit value."""
    return (name, 0, 32, default)


def flags(*names, first=0):
    return [(n, first + i, 1, 0) for i, n in enumerate(names)]


# --------------------------------------------------------------------------------------------------
# IMX636-family event sensor


def imx636():
    t = Table()
    t.reg("roi_ctrl", 0x0004, f("roi_td_en", 1, 1), f("roi_td_shadow_trigger", 5, 1), f("td_roi_roni_n_en", 6, 1, 1),
          rsv(8), f("px_td_rstn", 10, 1), rsv(11, 17, 0xA), rsv(25), rsv(28, 29, 3), rsv(30, 31, 3))
    t.reg("lifo_ctrl", 0x000C, f("lifo_en", 0, 1), f("lifo_out_en", 1, 1), f("lifo_cnt_en", 2, 1), rsv(3, 31))
    t.reg("lifo_status", 0x0010, f("lifo_ton", 0, 29), f("lifo_ton_valid", 29, 1), rsv(30, 31))
    t.reg("Reserved_0014", 0x0014, rsv(0, 31, 0xA000))
    t.reg("spare0", 0x0018, rsv(0, 8), f("gcd_diffamp_dft", 9, 1), rsv(10, 31))
    t.reg("refractory_ctrl", 0x0020, f("refr_counter", 0, 28), f("refr_valid", 28, 1), rsv(29),
          f("refr_cnt_en", 30, 1), f("refr_en", 31, 1))
    t.reg("roi_win_ctrl", 0x0034, f("roi_master_en", 0, 1), f("roi_win_done", 1, 1), rsv(2, 31))
    t.reg("roi_win_start_addr", 0x0038, f("roi_win_start_x", 0, 11), f("roi_win_start_y", 16, 10))
    t.reg("roi_win_end_addr", 0x003C, f("roi_win_end_x", 0, 11, 0x4FF), f("roi_win_end_y", 16, 10, 0x2CF))
    t.reg("dig_pad2_ctrl", 0x0044, rsv(0, 15, 0xFCCF), f("pad_sync", 16, 4, 0xF), rsv(20, 31, 0xCCF))
    t.reg("adc_control", 0x004C, f("adc_en", 0, 1), f("adc_clk_en", 1, 1), f("adc_start", 2, 1),
          rsv(3, 31, 0xEC8))
    t.reg("adc_status", 0x0050, f("adc_dac_dyn", 0, 10), rsv(10), f("adc_done_dyn", 11, 1), rsv(12, 31))
    t.reg("adc_misc_ctrl", 0x0054, rsv(0), f("adc_buf_cal_en", 1, 1), rsv(2, 9, 0x84), f("adc_rng", 10, 2),
          f("adc_temp", 12, 1), rsv(13, 14))
    t.reg("temp_ctrl", 0x005C, f("temp_buf_cal_en", 0, 1), f("temp_buf_en", 1, 1), rsv(2, 31, 0x20))
    t.reg("iph_mirr_ctrl", 0x0074, f("iph_mirr_en", 0, 1), f("iph_mirr_amp_en", 1, 1, 1), rsv(2, 31))
    t.reg("gcd_ctrl1", 0x0078, f("gcd_en", 0, 1), f("gcd_diffamp_en", 1, 1), f("gcd_lpf_en", 2, 1),
          rsv(3, 31, 0x8003BE9))
    t.reg("reqy_qmon_ctrl", 0x0088, f("reqy_qmon_en", 0, 1), f("reqy_qmon_rstn", 1, 1), rsv(2, 3),
          f("reqy_qmon_interrupt_en", 4, 1), rsv(5, 9), f("reqy_qmon_trip_ctl", 10, 10), rsv(20, 31))
    t.reg("reqy_qmon_status", 0x008C, rsv(0, 15), f("reqy_qmon_sum_irq", 16, 10), f("reqy_qmon_trip_irq", 26, 1),
          rsv(27, 31))
    t.reg("gcd_shadow_ctrl", 0x0090, rsv(0), f("gcd_irq_sw_override", 1, 1), f("gcd_reset_on_copy", 2, 1),
          rsv(3, 31))
    t.reg("gcd_shadow_status", 0x0094, f("gcd_shadow_valid", 0, 1), rsv(1, 31))
    t.reg("gcd_shadow_counter", 0x0098, f("gcd_shadow_cnt_off", 0, 16), f("gcd_shadow_cnt_on", 16, 16))
    t.reg("stop_sequence_control", 0x00C8, f("stop_sequence_start", 0, 1), f("stop_sequence_done", 1, 1),
          rsv(2, 31))

    # Biases: an 8-bit current DAC code, the bias generator's other settings, and a transfer strobe.
    for name, address, idac, upper in [("bias_fo", 0x1004, 0, 0x3A1E8), ("bias_hpf", 0x100C, 0, 0x3A1FF),
                                       ("bias_diff_on", 0x1010, 0, 0x1A163), ("bias_diff", 0x1014, 0x4D, 0x1A150),
                                       ("bias_diff_off", 0x1018, 0, 0x1A137),
                                       ("bias_refr", 0x1020, 0x14, 0x38296)]:
        t.reg("bias/" + name, address, f("idac_ctl", 0, 8, idac), rsv(8, 27, upper), f("single_transfer", 28, 1))
    t.reg("bias/bgen_ctrl", 0x1100, f("burst_transfer", 0, 1), rsv(1, 2))

    # Region of interest: one bit per column (x) and per row (y); 0 selects.
    both = [("enable", 0), ("disable", 0xFFFFFFFF)]
    for i in range(40):
        t.reg("roi/td_roi_x%02d" % i, 0x2000 + 4 * i, f("effective", 0, 32, 0, both))
    for i in range(23):
        if i == 22:
            t.reg("roi/td_roi_y%02d" % i, 0x4000 + 4 * i, f("effective", 0, 16, 0, [("enable", 0), ("disable", 0xFFFF)]))
        else:
            t.reg("roi/td_roi_y%02d" % i, 0x4000 + 4 * i, f("effective", 0, 32, 0, both))

    # Event rate controller.
    t.reg("erc/Reserved_6000", 0x6000, rsv(0, 1), rsv(2, 31))
    t.reg("erc/in_drop_rate_control", 0x6004, f("cfg_event_delay_fifo_en", 0, 1), rsv(1), rsv(2, 10))
    t.reg("erc/reference_period", 0x6008, f("erc_reference_period", 0, 10, 0x80))
    t.reg("erc/td_target_event_rate", 0x600C, f("target_event_rate", 0, 22, 0x80))
    t.reg("erc/erc_enable", 0x6028, f("erc_en", 0, 1), rsv(1), rsv(2))
    t.reg("erc/Reserved_602C", 0x602C, rsv(0), rsv(1, 31))
    t.reg("erc/t_dropping_control", 0x6050, f("t_dropping_en", 0, 1))
    t.reg("erc/h_dropping_control", 0x6060, f("h_dropping_en", 0, 1))
    t.reg("erc/v_dropping_control", 0x6070, f("v_dropping_en", 0, 1))
    for i in range(8):
        t.reg("erc/h_drop_lut_%02d" % i, 0x6080 + 4 * i, *[f("hlut%02d" % (4 * i + k), 8 * k, 5) for k in range(4)])
    for i in range(8):
        t.reg("erc/v_drop_lut_%02d" % i, 0x60C0 + 4 * i, *[f("vlut%02d" % (4 * i + k), 8 * k, 5) for k in range(4)])
    for i in range(256):
        t.reg("erc/t_drop_lut_%02d" % i, 0x6400 + 4 * i, f("tlut%03d" % (2 * i), 0, 9), f("tlut%03d" % (2 * i + 1), 16, 9))
    for address in range(0x6800, 0x6B98, 4):
        # Reserved controller memory; the split of each word is filled in by balance_imx636 below.
        t.reg("erc/Reserved_%04X" % address, address, rsv(0, 31))

    t.reg("edf/pipeline_control", 0x7000, rsv(0, None, 1), f("format", 1, 1), rsv(2), rsv(3), rsv(4),
          rsv(16, 31, 0xFFFF))
    t.reg("edf/trigger_in", 0x7004, f("enable", 10, 1, 1))
    t.reg("eoi/Reserved_8000", 0x8000, rsv(0, 1, 2), rsv(2, 7), rsv(8, 31))

    # Readout.
    t.reg("ro/readout_ctrl", 0x9000, rsv(0), f("ro_test_pixel_mux_en", 1, 1), f("ro_self_test_en", 2, 1), rsv(3),
          f("ro_analog_pipe_en", 4, 1), f("ro_avoid_bpress_td", 5, 1), f("ro_flip_x", 6, 1), f("ro_flip_y", 7, 1),
          rsv(8), f("ro_inv_pol_td", 9, 1), rsv(10, 31))
    t.reg("ro/ro_fsm_ctrl", 0x9004, f("readout_wait", 0, 16, 0x1E), rsv(16, 30), f("ro_fsm_running", 31, 1))
    t.reg("ro/time_base_ctrl", 0x9008, f("time_base_enable", 0, 1), f("time_base_mode", 1, 1),
          f("external_mode", 2, 1), f("external_mode_enable", 3, 1), rsv(4, 10, 0x64))
    t.reg("ro/dig_ctrl", 0x900C, f("dig_crop_enable", 0, 1), f("dig_crop_reset_orig", 1, 1), rsv(2, 31))
    t.reg("ro/dig_start_pos", 0x9010, f("dig_crop_start_x", 0, 11), f("dig_crop_start_y", 16, 10))
    t.reg("ro/dig_end_pos", 0x9014, f("dig_crop_end_x", 0, 11), f("dig_crop_end_y", 16, 10))
    t.reg("ro/ro_ctrl", 0x9028, f("area_cnt_en", 0, 1), f("output_disable", 1, 1, 1), f("keep_th", 2, 1),
          rsv(3, 31))
    for i in range(5):
        t.reg("ro/area_x%d_addr" % i, 0x902C + 4 * i, f("x%d_addr" % i, 0, 11, [0, 0x100, 0x200, 0x300, 0x400][i]))
    for i in range(5):
        t.reg("ro/area_y%d_addr" % i, 0x9040 + 4 * i, f("y%d_addr" % i, 0, 10, [0, 0x90, 0x120, 0x1B0, 0x240][i]))
    t.reg("ro/counter_ctrl", 0x9054, f("count_en", 0, 1), f("use_ext_start", 1, 1), f("reset", 2, 1))
    t.reg("ro/counter_timer_threshold", 0x9058, f("timer_threshold", 0, 32, 0x3E8))
    for i in range(64):
        t.reg("ro/digital_mask_pixel_%02d" % i, 0x9100 + 4 * i, f("x", 0, 11), rsv(11, 15), f("y", 16, 11),
              rsv(27, 30), f("valid", 31, 1))
    for i in range(16):
        t.reg("ro/area_cnt%02d" % i, 0x9200 + 4 * i, f("area_cnt_val_%02d" % i, 0, 32))
    t.reg("ro/evt_vector_cnt_val", 0x9244, f("evt_vector_cnt_val", 0, 32))

    # MIPI CSI-2 output.
    t.reg("mipi_csi/mipi_control", 0x00B000, *flags("mipi_csi_enable", "mipi_packet_timeout_enable",
                                                    "mipi_frame_blank_enable", "mipi_line_blank_enable",
                                                    "mipi_data_lane1", "mipi_data_lane2", "mipi_continuous_clk",
                                                    "mipi_frame_period_en", "mipi_frame_end_en",
                                                    "mipi_ecc_en"), rsv(10, 31))
    t.reg("mipi_csi/mipi_packet_size", 0xB020, f("mipi_packet_size", 0, 15, 0x2000), rsv(15, 31))
    t.reg("mipi_csi/mipi_packet_timeout", 0xB024, f("mipi_packet_timeout", 0, 16, 0x40), rsv(16, 31))
    t.reg("mipi_csi/mipi_frame_period", 0xB028, rsv(0, 3), f("mipi_frame_period", 4, 12, 0x7D), rsv(16, 31))
    t.reg("mipi_csi/mipi_line_blanking", 0xB02C, f("mipi_line_blanking", 0, 8, 0xA), rsv(8, 31))
    t.reg("mipi_csi/mipi_frame_blanking", 0xB030, f("mipi_frame_blanking", 0, 16), rsv(16, 31))

    # Anti-flicker filter.
    t.reg("afk/pipeline_control", 0xC000, rsv(0), rsv(1), f("afk_bypass", 2, 1))
    t.reg("afk/param", 0xC004, f("counter_low", 0, 3, 4), f("counter_high", 3, 3, 6), f("invert", 6, 1),
          f("drop_disable", 7, 1))
    t.reg("afk/filter_period", 0xC008, f("min_cutoff_period", 0, 8, 0xF), f("max_cutoff_period", 8, 8, 0x9C),
          f("inverted_duty_cycle", 16, 4, 8))
    t.reg("afk/invalidation", 0xC0C0, f("dt_fifo_wait_time", 0, 12, 0x5A0), rsv(12, 23, 0x5A), rsv(24, 27, 0xA),
          rsv(28))
    t.reg("afk/initialization", 0xC0C4, f("afk_req_init", 0, 1), rsv(1), f("afk_flag_init_done", 2, 1))
    t.reg("afk/shadow_ctrl", 0xC0D4, f("timer_en", 0, 1), rsv(1, 31, 2))
    t.reg("afk/shadow_timer_threshold", 0xC0D8, f("timer_threshold", 0, 32, 0x3E8))
    t.reg("afk/shadow_status", 0xC0DC, f("shadow_valid", 0, 1), f("shadow_overrun", 1, 1), rsv(2, 31))
    t.reg("afk/total_evt_count", 0xC0E0, f("total_evt_count", 0, 32))
    t.reg("afk/flicker_evt_count", 0xC0E4, f("flicker_evt_count", 0, 32))
    t.reg("afk/vector_evt_count", 0xC0E8, f("vector_evt_count", 0, 32))

    stc(t)

    # SLVS output.
    t.reg("slvs/slvs_control", 0xE000, *flags("slvs_llp_enable", "slvs_packet_timeout_enable",
                                              "slvs_frame_blank_enable", "slvs_line_blank_enable"), rsv(4, 31))
    t.reg("slvs/slvs_packet_size", 0xE020, f("slvs_packet_size", 0, 14, 0x1000), rsv(14, 31))
    t.reg("slvs/slvs_packet_timeout", 0xE024, f("slvs_packet_timeout", 0, 16, 0x40), rsv(16, 31))
    t.reg("slvs/slvs_line_blanking", 0xE02C, f("slvs_line_blanking", 0, 8, 0xA), rsv(8, 31))
    t.reg("slvs/slvs_frame_blanking", 0xE030, f("slvs_frame_blanking", 0, 16), rsv(16, 31))
    t.reg("slvs/slvs_phy_logic_ctrl_00", 0xE150, f("oportsel", 0, 2, 2), rsv(2, 31))
    balance(t, 2011, lambda name: name.startswith("erc/Reserved_") and int(name[-4:], 16) >= 0x6800)
    return t


def stc(t):
    """Spatio-temporal contrast and trail filter: the same block in both event sensors."""
    t.reg("stc/pipeline_control", 0xD000, rsv(0), rsv(1), f("stc_trail_bypass", 2, 1))
    t.reg("stc/stc_param", 0xD004, f("stc_enable", 0, 1), f("stc_threshold", 1, 19, 0x2710),
          f("disable_stc_cut_trail", 24, 1))
    t.reg("stc/trail_param", 0xD008, f("trail_enable", 0, 1), f("trail_threshold", 1, 19, 0x186A0))
    t.reg("stc/timestamping", 0xD00C, f("prescaler", 0, 5, 0xD), f("multiplier", 5, 4, 1), rsv(9, None, 1),
          f("enable_last_ts_update_at_every_event", 16, 1))
    t.reg("stc/invalidation", 0xD0C0, f("dt_fifo_wait_time", 0, 12, 4), f("dt_fifo_timeout", 12, 12, 0x118),
          rsv(24, 27, 0xA), rsv(28))
    t.reg("stc/initialization", 0xD0C4, f("stc_req_init", 0, 1), rsv(1), f("stc_flag_init_done", 2, 1))
    t.reg("stc/shadow_ctrl", 0xD0D4, f("timer_en", 0, 1), rsv(1, 31, 2))
    t.reg("stc/shadow_timer_threshold", 0xD0D8, f("timer_threshold", 0, 32, 0x3E8))
    t.reg("stc/shadow_status", 0xD0DC, f("shadow_valid", 0, 1), f("shadow_overrun", 1, 1), rsv(2, 31))
    t.reg("stc/total_evt_count", 0xD0E0, f("total_evt_count", 0, 32))
    t.reg("stc/stc_evt_count", 0xD0E4, f("stc_evt_count", 0, 32))
    t.reg("stc/trail_evt_count", 0xD0E8, f("trail_evt_count", 0, 32))
    t.reg("stc/output_vector_count", 0xD0EC, f("output_vector_count", 0, 32))


def balance(t, wanted, flexible):
    """Splits the 32-bit reserved words of the flexible registers into two or more reserved ranges
    until the table holds `wanted` fields."""
    have = t.counts()[1]
    regs = [r for r in t.regs if flexible(r[0])]
    missing = wanted - have
    assert missing >= 0, "too many fields: %d over" % -missing
    splits = [[rsv(0, 31)] , [rsv(0, 15), rsv(16, 31)], [rsv(0, 7), rsv(8, 15), rsv(16, 31)],
              [rsv(0, 7), rsv(8, 15), rsv(16, 23), rsv(24, 31)]]
    extra = [0] * len(regs)
    i = 0
    while missing > 0:
        assert any(e < 3 for e in extra), "not enough flexible registers"
        if extra[i % len(regs)] < 3:
            extra[i % len(regs)] += 1
            missing -= 1
        i += 1
    for r, e in zip(regs, extra):
        r[2] = [norm(x) for x in splits[e]]



def gaps(fields):
    """The bit ranges of a register that no field covers, lowest first."""
    used = [False] * 32
    for fl in fields:
        for b in range(fl[1], fl[1] + fl[2]):
            used[b] = True
    out, b = [], 0
    while b < 32:
        if used[b]:
            b += 1
            continue
        e = b
        while e + 1 < 32 and not used[e + 1]:
            e += 1
        out.append((b, e))
        b = e + 1
    return out


def fill_gaps(t, wanted, keep):
    """Names the uncovered bits of registers (other than those `keep` names) as reserved fields, register by
    register in table order, until the table holds `wanted` fields."""
    missing = wanted - t.counts()[1]
    assert missing >= 0, "too many fields: %d over" % -missing
    for r in t.regs:
        if missing == 0:
            break
        if keep(r[0]) or not r[2]:
            continue
        for lo, hi in gaps(r[2]):
            if missing == 0:
                break
            r[2].append(norm(rsv(lo, hi)))
            missing -= 1
        r[2].sort(key=lambda fl: fl[1])
    # Still short: split the widest reserved ranges in two.
    while missing > 0:
        best = None
        for r in t.regs:
            if keep(r[0]):
                continue
            for i, fl in enumerate(r[2]):
                if fl[0].startswith("Reserved_") and fl[2] >= 2 and (best is None or fl[2] > best[2][2]):
                    best = (r, i, fl)
        assert best is not None, "%d fields short" % missing
        r, i, fl = best
        half = fl[2] // 2
        r[2][i:i + 1] = [norm(rsv(fl[1], fl[1] + half - 1)), norm(rsv(fl[1] + half, fl[1] + fl[2] - 1))]
        missing -= 1
# --------------------------------------------------------------------------------------------------
# GenX320 event sensor


# Registers whose fields the bring-up and the tools rely on, exactly as listed.
GENX320_FIXED = {
    "refractory_ctrl", "roi_ctrl", "roi_master_ctrl", "roi_win_x0", "roi_win_y0", "iph_mirr_ctrl", "lifo_ctrl",
    "adc_control", "adc_misc_ctrl", "temp_ctrl", "ro/time_base_ctrl", "ro/readout_ctrl", "erc/pipeline_control",
    "erc/ahvt_dropping_control", "erc/ref_period_flavor", "erc/delay_fifo_size", "erc/td_target_event_count",
    "erc/end_of_period_cycles_per_us", "erc/delay_fifo_flush_and_bypass", "erc/manual_td_avg_drop_rate",
    "erc/manual_td_evt_drop_rate", "erc/force_immediate_change", "erc/irq_status",
}


def genx320():
    t = Table()
    for name, address, default in [("bias_pr_hv0", 0x1000, 0x3D), ("bias_fo_hv0", 0x1004, 0x27),
                                   ("bias_hpf_lv0", 0x1100, 0), ("bias_diff_on_lv0", 0x1104, 0x18),
                                   ("bias_diff_lv0", 0x1108, 0x33), ("bias_diff_off_lv0", 0x110C, 0x13),
                                   ("bias_refr_lv0", 0x1114, 0x52)]:
        t.reg("bias/" + name, address, f("bias_ctl", 0, 7, default), f("single", 28, 1))

    t.reg("refractory_ctrl", 0x0020, f("refr_counter", 0, 28), f("refr_valid", 28, 1), f("refr_overrun", 29, 1),
          f("refr_cnt_en", 30, 1), f("refr_en", 31, 1))
    t.reg("lifo_ctrl", 0x0008, f("lifo_en", 0, 1))
    t.reg("lifo_ton_status", 0x0010, f("lifo_ton", 0, 29), f("lifo_ton_valid", 29, 1))
    t.reg("iph_mirr_ctrl", 0x0074, f("iph_mirr_en", 0, 1))
    t.reg("gcd_ctrl", 0x0078, f("gcd_en", 0, 1), f("gcd_diffamp_en", 1, 1), f("gcd_lpf_en", 2, 1))
    t.reg("gcd_ctrl2", 0x007C, f("gcd_lpf_ctl", 0, 8, 0x40))
    t.reg("gcd_refr_ctrl", 0x0080, f("gcd_refr_counter", 0, 28), f("gcd_refr_en", 31, 1))
    t.reg("gcd_shadow_ctrl", 0x0090, f("gcd_timer_en", 0, 1), f("gcd_irq_sw_override", 1, 1),
          f("gcd_reset_on_copy", 2, 1))
    t.reg("gcd_shadow_status", 0x0094, f("gcd_shadow_valid", 0, 1), f("gcd_shadow_overrun", 1, 1))
    t.reg("gcd_shadow_timer_ctrl", 0x0098, f("gcd_timer_threshold", 0, 32, 0x3E8))
    for i in range(5):
        t.reg("gcd_shadow_cnt%d" % i, 0x00C4 + 4 * i, f("gcd_shadow_cnt_val", 0, 32))
    t.reg("adc_control", 0x004C, f("adc_en", 0, 1), f("adc_clk_en", 1, 1), f("adc_start", 2, 1),
          f("adc_clk_div", 4, 16, 0x4E2))
    t.reg("adc_status1", 0x0050, f("adc_dac_dyn", 0, 10), f("adc_done_dyn", 11, 1))
    t.reg("adc_misc_ctrl", 0x0054, f("adc_buf_cal_en", 0, 1), f("adc_cmp_cal_en", 1, 1), f("adc_rng", 15, 2),
          f("adc_temp", 17, 1))
    t.reg("temp_ctrl", 0x005C, f("temp_buf_en", 0, 1), f("temp_buf_cal_en", 1, 1))
    t.reg("roi_ctrl", 0x0000, f("roi_td_en", 1, 1), f("roi_td_shadow_trigger", 5, 1), f("px_iphoto_en", 6, 1),
          f("px_roi_halt_programming", 11, 1))
    t.reg("roi_master_ctrl", 0x0034, f("roi_master_en", 0, 1), f("roi_master_run", 1, 1), f("roi_master_mode", 2, 1),
          f("roi_win_nb", 3, 5))
    t.reg("roi_win_x0", 0x0400, f("roi_win_start_x", 0, 9), f("roi_win_end_p1_x", 16, 9))
    t.reg("roi_win_y0", 0x0404, f("roi_win_start_y", 0, 9), f("roi_win_end_p1_y", 16, 9))
    t.reg("roi_win_x17", 0x0488, f("roi_win_start_x", 0, 9), f("roi_win_end_p1_x", 16, 9))
    t.reg("roi_win_y17", 0x048C, f("roi_win_start_y", 0, 9), f("roi_win_end_p1_y", 16, 9))
    t.reg("qmon_ctrl", 0x0088, f("qmon_en", 0, 1), f("qmon_rstn", 1, 1), f("qmon_interrupt_en", 4, 1),
          f("qmon_trip_ctl", 10, 10))
    t.reg("qmon_status", 0x008C, f("qmon_sum_irq", 16, 10), f("qmon_trip_irq", 26, 1))
    t.reg("ref_clk_ctrl", 0x0200, f("ref_clk_en", 0, 1, 1), f("ref_clk_switch", 1, 1))
    t.reg("sys_clk_ctrl", 0x0204, f("sys_clk_en", 0, 1, 1), f("sys_clk_switch", 1, 1), f("sys_clk_div", 4, 4))
    t.reg("cpu_ss_clk_ctrl", 0x0208, f("cpu_ss_clk_en", 0, 1, 1), f("cpu_ss_clk_div", 4, 4))
    t.reg("rtc_clk_ctrl", 0x020C, f("rtc_clk_en", 0, 1, 1), f("rtc_clk_div", 4, 8))
    t.reg("evt_icn_clk_ctrl", 0x0210, f("evt_icn_clk_en", 0, 1, 1), f("evt_icn_clk_div", 4, 4))
    t.reg("pll_ctrl", 0x0214, f("pll_en", 0, 1), f("pll_locked", 1, 1), f("pll_mult", 4, 8, 0x32),
          f("pll_div", 12, 4, 1))
    for i in range(2):
        t.reg("sram_pd%d" % i, 0x00BC + 4 * i, f("pd_low", 0, 16), f("pd_high", 16, 16))

    # Region of interest: one bit per column (x) and per row (y); 1 selects.
    for i in range(10):
        t.reg("roi/td_roi_x%02d" % i, 0x2000 + 4 * i, f("effective", 0, 32, 0xFFFFFFFF))
    for i in range(10):
        t.reg("roi/td_roi_y%02d" % i, 0x3000 + 4 * i, f("effective", 0, 32, 0xFFFFFFFF))

    # Readout. Bit 10 of readout_ctrl lets the external trigger input into the event stream.
    t.reg("ro/readout_ctrl", 0x9000, f("ro_test_pixel_mux_en", 1, 1), f("ro_self_test_en", 2, 1),
          f("ro_analog_pipe_en", 4, 1), f("ro_flip_x", 6, 1), f("ro_flip_y", 7, 1), f("ro_inv_pol_td", 9, 1),
          f("ext_trigger_in_en", 10, 1))
    t.reg("ro/oor_ctrl", 0x900C, f("oor_crop_enable", 0, 1), f("oor_crop_reset_orig", 1, 1))
    t.reg("ro/oor_start_pos", 0x9010, f("oor_crop_start_x", 0, 9), f("oor_crop_start_y", 16, 9))
    t.reg("ro/oor_end_pos", 0x9014, f("oor_crop_end_x", 0, 9, 0x13F), f("oor_crop_end_y", 16, 9, 0x13F))
    t.reg("ro/ro_lp_ctrl", 0x9028, f("lp_cnt_en", 0, 1), f("lp_output_disable", 1, 1, 1), f("lp_keep_th", 2, 1))
    for i in range(5):
        t.reg("ro/lp_x%d" % i, 0x902C + 4 * i, f("x%d_addr" % i, 0, 9, [0, 0x40, 0x80, 0xC0, 0x100][i]))
    for i in range(5):
        t.reg("ro/lp_y%d" % i, 0x9040 + 4 * i, f("y%d_addr" % i, 0, 9, [0, 0x40, 0x80, 0xC0, 0x100][i]))
    t.reg("ro/shadow_ctrl", 0x9054, f("timer_en", 0, 1), f("irq_sw_override", 1, 1), f("reset_on_copy", 2, 1, 1))
    t.reg("ro/shadow_timer_threshold", 0x9058, f("timer_threshold", 0, 32, 0x3E8))
    t.reg("ro/shadow_status", 0x905C, f("shadow_valid", 0, 1), f("shadow_overrun", 1, 1))
    t.reg("ro/evt_cd_cnt", 0x9244, f("val", 0, 32))
    t.reg("ro/evt21_cd_cnt", 0x9248, f("val", 0, 32))
    t.reg("ro/line_cd_cnt", 0x924C, f("val", 0, 32))
    t.reg("ro/time_base_ctrl", 0x9008, f("time_base_enable", 0, 1), f("time_base_mode", 1, 1),
          f("external_mode", 2, 1), f("external_mode_enable", 3, 1), f("us_counter_max", 4, 7, 0x32),
          f("th_every_64us_en", 11, 1), f("time_base_srst", 16, 1))
    for i in (0, 15):
        t.reg("ro/digital_event_mask_ctrl%02d" % i, 0x9100 + 0x78 * (i // 15), f("x", 0, 9), f("y", 16, 9),
              f("valid", 31, 1))
        t.reg("ro/digital_event_mask_data%02d" % i, 0x9104 + 0x78 * (i // 15), f("mask", 0, 32))
    t.reg("ro/sw_evt_bypass_msb", 0x9060, f("val", 0, 32))
    t.reg("ro/sw_evt_bypass_lsb", 0x9064, f("val", 0, 32))
    t.reg("ro/sw_evt_bypass_ctrl", 0x9068, f("en", 0, 1), f("push", 1, 1))

    # Noise filter.
    t.reg("nfl/pipeline_control", 0xE000, f("enable", 0, 1), f("drop_nbackpressure", 1, 1), f("bypass", 2, 1))
    t.reg("nfl/pipeline_status", 0xE004, f("empty", 0, 1, 1), f("busy", 1, 1), f("deep_low_power_ready", 2, 1))
    t.reg("nfl/reference_period", 0xE008, f("val", 0, 11, 0x400))
    t.reg("nfl/min_pixel_event_threshold_on", 0xE00C, f("val", 0, 21, 0x20))
    t.reg("nfl/min_pixel_event_threshold_off", 0xE010, f("val", 0, 21, 0x20))
    t.reg("nfl/max_pixel_event_threshold_off", 0xE014, f("val", 0, 21, 0x1FFFFF))
    t.reg("nfl/max_pixel_event_threshold_on", 0xE018, f("val", 0, 21, 0x1FFFFF))
    t.reg("nfl/insert_drop_monitoring", 0xE01C, f("en", 0, 1))
    t.reg("nfl/pixel_events_in_window", 0xE020, f("val", 0, 21), f("first_td_seen", 25, 1, 1),
          f("min_pixel_event_drop_mode", 26, 1, 1), f("max_pixel_event_drop_mode", 27, 1))

    # Anti-flicker filter.
    t.reg("afk/pipeline_control", 0xC000, f("enable", 0, 1), f("drop_nbackpressure", 1, 1), f("bypass", 2, 1))
    t.reg("afk/pipeline_status", 0xC004, f("empty", 0, 1, 1), f("busy", 1, 1), f("deep_low_power_ready", 2, 1))
    t.reg("afk/afk_param", 0xC008, f("counter_low", 0, 3, 4), f("counter_high", 3, 3, 6), f("invert", 6, 1),
          f("drop_disable", 7, 1))
    t.reg("afk/filter_period", 0xC00C, f("min_cutoff_period", 0, 8, 0xF), f("max_cutoff_period", 8, 8, 0x9C),
          f("inverted_duty_cycle", 16, 4, 8))
    t.reg("afk/invalidation", 0xC0C0, f("dt_fifo_wait_time", 0, 12, 0xF3C), f("dt_fifo_timeout", 12, 12, 0x5A),
          f("in_parallel", 24, 3, 5), f("flag_inv_busy", 27, 1))
    t.reg("afk/initialisation", 0xC0C4, f("req_init", 0, 1), f("flag_init_busy", 1, 1), f("flag_init_done", 2, 1))
    t.reg("afk/shadow_ctrl", 0xC0D4, f("timer_en", 0, 1), f("irq_sw_override", 1, 1), f("reset_on_copy", 2, 1, 1))
    t.reg("afk/shadow_timer_threshold", 0xC0D8, f("timer_threshold", 0, 32, 0x3E8))
    t.reg("afk/shadow_status", 0xC0DC, f("shadow_valid", 0, 1), f("shadow_overrun", 1, 1))
    t.reg("afk/total_evt_cnt", 0xC0E0, f("val", 0, 32))
    t.reg("afk/flicker_evt_cnt", 0xC0E4, f("val", 0, 32))
    t.reg("afk/output_vector_cnt", 0xC0E8, f("val", 0, 32))
    t.reg("afk/perf_ctrl", 0xC0EC, f("lite_version_enable", 0, 1))

    stc(t)

    # Event histogram computation.
    t.reg("ehc/pipeline_control", 0x4000, f("enable", 0, 1), f("drop_nbackpressure", 1, 1), f("bypass", 2, 1))
    t.reg("ehc/pipeline_status", 0x4004, f("empty", 0, 1, 1), f("busy", 1, 1), f("deep_low_power_ready", 2, 1))
    t.reg("ehc/ehc_control", 0x4040, f("algo_sel", 0, 1), f("trig_sel", 1, 1))
    t.reg("ehc/bits_splitting", 0x4044, f("negative_bit_length", 0, 4, 4), f("positive_bit_length", 4, 4, 4),
          f("out_16bits_padding_mode", 8, 1))
    t.reg("ehc/integration_period", 0x4048, f("val", 0, 24, 0x2710))
    t.reg("ehc/event_rate_threshold", 0x404C, f("val", 0, 24))
    t.reg("ehc/initialisation", 0x4100, f("req_init", 0, 1), f("flag_init_busy", 1, 1), f("flag_init_done", 2, 1))
    t.reg("ehc/flags", 0x4110, f("overflow", 0, 1), f("underflow", 1, 1))
    t.reg("ehc/irq_control", 0x4114, f("irq_en", 0, 1))
    t.reg("ehc/wake_up_period", 0x4118, f("val", 0, 24))
    t.reg("ehc/chicken0_bits", 0x41C0, f("enable_inter_frame_padding", 0, 1, 1))

    # Event data formatter. Fields as the formatter defines them.
    t.reg("edf/pipeline_control", 0x7000, f("enable", 0, 1), f("drop_nbackpressure", 1, 1), f("bypass", 2, 1))
    t.reg("edf/pipeline_status", 0x7004, f("empty", 0, 1, 1), f("busy", 1, 1), f("deep_low_power_seen", 2, 1))
    t.reg("edf/control", 0x7044, f("format", 0, 2), f("endianness", 4, 1))
    t.reg("edf/event_injection", 0x7048, f("sysmon_end_of_frame_en", 0, 1))
    t.reg("edf/output_interface_control", 0x704C, f("start_of_frame_timeout", 4, 12, 0x7D))
    t.reg("edf/external_output_adapter", 0x7100, f("qos_timeout", 0, 16, 0xFFFF), f("atomic_qos_mode", 16, 1))

    # Event rate controller.
    t.reg("erc/pipeline_control", 0x6000, f("enable", 0, 1), f("drop_nbackpressure", 1, 1), f("bypass", 2, 1))
    t.reg("erc/pipeline_status", 0x6004, f("empty", 0, 1, 1), f("busy", 1, 1), f("deep_low_power_ready", 2, 1))
    t.reg("erc/pipeline_flush", 0x6010, f("flush", 0, 1))
    t.reg("erc/ahvt_dropping_control", 0x6014, f("h_dropping_en", 0, 1), f("v_dropping_en", 1, 1),
          f("t_dropping_en", 2, 1), f("t_dropping_lut_en", 3, 1), f("drop_all_td_when_drop_geq", 4, 10, 0x201),
          f("status", 31, 1))
    t.reg("erc/ref_period_flavor", 0x6020, f("reference_period", 0, 10, 0x80), f("avg_drop_rate_delayed", 16, 1))
    t.reg("erc/delay_fifo_non_td_rsvd_area", 0x6024, f("val", 0, 15, 0x40))
    t.reg("erc/delay_fifo_size", 0x6028, f("val", 0, 15, 0x1408))
    t.reg("erc/td_target_event_count", 0x602C, f("val", 0, 21, 0x80))
    t.reg("erc/interest_level", 0x6030, f("val", 0, 10))
    t.reg("erc/monitoring_event_control", 0x6034, f("en", 0, 1), f("period", 1, 8))
    t.reg("erc/irq_pending", 0x6038, f("val", 0, 2))
    t.reg("erc/irq_status", 0x603C)
    t.reg("erc/irq_mask", 0x6040, f("val", 0, 2, 3))
    t.reg("erc/irq_df_non_td_drop_cnt", 0x6044, f("val", 0, 16))
    t.reg("erc/irq_df_td_drop_cnt", 0x6048, f("val", 0, 16))
    t.reg("erc/shadow_ctrl", 0x604C, f("timer_en", 0, 1), f("irq_sw_override", 1, 1), f("reset_on_copy", 2, 1, 1))
    t.reg("erc/shadow_timer_threshold", 0x6050, f("timer_threshold", 0, 32, 0x3E8))
    t.reg("erc/shadow_status", 0x6054, f("shadow_valid", 0, 1), f("shadow_overrun", 1, 1))
    for name, address in [("stat_in_td_event_count", 0x6058), ("stat_erc_td_event_count", 0x605C),
                          ("stat_df_td_event_drop_count", 0x6060), ("stat_df_non_td_event_drop_count", 0x6064),
                          ("stat_alldrop_td_event_drop_count", 0x6068), ("stat_hdrop_td_event_drop_count", 0x606C),
                          ("stat_vdrop_td_event_drop_count", 0x6070), ("stat_tdrop_td_event_drop_count", 0x6074)]:
        t.reg("erc/" + name, address, f("val", 0, 32))
    t.reg("erc/stat_other_drop_15_0", 0x6078, f("val", 0, 16))
    t.reg("erc/stat_other_drop_31_16", 0x607C, f("val", 0, 16))
    t.reg("erc/snap_first_last_module_tag", 0x6080, f("first", 0, 16), f("last", 16, 16))
    t.reg("erc/snap_avg_drop_rate", 0x6084, f("val", 0, 16))
    t.reg("erc/sram_power_down", 0x6090, f("pd", 0, 1))
    t.reg("erc/sram_read_write_cycle_timing", 0x6094, f("rd_cycles", 0, 4, 1), f("wr_cycles", 4, 4, 1))
    t.reg("erc/intlvl_read_bank_sel", 0x6098, f("bank", 0, 1))
    t.reg("erc/end_of_period_cycles_per_us", 0x609C, f("nb_cycles", 0, 12))
    t.reg("erc/delay_fifo_flush_and_bypass", 0x60A0, f("en", 0, 1, 1), f("status", 31, 1))
    t.reg("erc/timestamp_from_th_td_only", 0x60A4, f("en", 0, 1))
    t.reg("erc/manual_td_avg_drop_rate", 0x60A8, f("iD", 0, 16), f("other_drops", 16, 2), f("en", 31, 1))
    t.reg("erc/manual_td_evt_drop_rate", 0x60AC, f("en", 0, 1), f("Dij", 1, 10))
    t.reg("erc/force_immediate_change", 0x60B0, f("ahvt_dropping_control", 0, 1), f("interest_level", 1, 1))
    t.reg("erc/reset_tdrop_counter_on_mtag_first", 0x60B4, f("en", 0, 1))
    t.reg("erc/delay_fifo_bypass_wo_back_pressure", 0x60B8, f("en", 0, 1))
    t.reg("erc/nice_to_have", 0x60BC, f("val", 0, 32))

    # Parallel output.
    t.reg("cpi/pipeline_control", 0x8000, f("enable", 0, 1), f("drop_nbackpressure", 1, 1), f("bypass", 2, 1),
          f("output_if_en", 3, 1))
    t.reg("cpi/pipeline_status", 0x8004, f("empty", 0, 1, 1), f("busy", 1, 1), f("deep_low_power_ready", 2, 1))
    t.reg("cpi/packet_size_control", 0x8008, f("packet_size", 0, 16, 0x400))
    t.reg("cpi/packet_time_control", 0x800C, f("packet_period", 0, 16, 0x3E8), f("packet_timeout", 16, 16, 0x64))
    t.reg("cpi/frame_size_control", 0x8010, f("frame_size", 0, 16, 0x10))
    t.reg("cpi/frame_time_control", 0x8014, f("frame_period", 0, 16, 0x3E8), f("frame_timeout", 16, 16, 0x64))
    t.reg("cpi/output_if_control", 0x8018, f("output_data_format", 0, 2), f("output_width", 2, 2),
          f("clk_out_en", 4, 1), f("clk_out_gating_en", 5, 1), f("clk_out_inv", 6, 1), f("hsync_pol", 7, 1),
          f("vsync_pol", 8, 1))
    t.reg("cpi/pkt_self_test", 0x801C, f("enable", 0, 1), f("mode", 1, 2))
    t.reg("cpi/pkt_self_test_data", 0x8020, f("data", 0, 32))

    # MIPI CSI-2 output.
    t.reg("mipi_csi/csi_ctrl", 0xB000, f("enable", 0, 1), f("packet_timeout_enable", 1, 1),
          f("frame_blank_enable", 2, 1), f("line_blank_enable", 3, 1), f("lane_number", 4, 2))
    t.reg("mipi_csi/cpu_ctrl", 0xB004, f("cpu_en", 0, 1))
    t.reg("mipi_csi/lane_ctrl", 0xB008, f("lane0_en", 0, 1), f("lane1_en", 1, 1))
    t.reg("mipi_csi/clk_ctrl", 0xB00C, f("clk_lane_en", 0, 1), f("continuous_clk", 1, 1))
    t.reg("mipi_csi/frame_ctrl", 0xB010, f("frame_mode", 0, 3))
    t.reg("mipi_csi/frame_cfg", 0xB014, f("frame_period", 0, 16, 0x7D0))
    t.reg("mipi_csi/frame_sync", 0xB018, f("sync_en", 0, 1))
    t.reg("mipi_csi/mid", 0xB01C, f("virtual_channel", 0, 2), f("data_type", 2, 6, 0x30))
    t.reg("mipi_csi/bl_line", 0xB020, f("line_blanking", 0, 16, 0xA))
    t.reg("mipi_csi/bl_frame", 0xB024, f("frame_blanking", 0, 16))
    t.reg("mipi_csi/bl_frame_start", 0xB028, f("frame_start_blanking", 0, 16))
    t.reg("mipi_csi/bl_frame_end", 0xB02C, f("frame_end_blanking", 0, 16))
    t.reg("mipi_csi/power", 0xB030, f("cur_en", 0, 1), f("ulp_en", 1, 1))
    t.reg("mipi_csi/cl_ctrl", 0xB034, f("cl_prepare", 0, 8), f("cl_zero", 8, 8))
    t.reg("mipi_csi/dl_ctrl", 0xB038, f("dl_prepare", 0, 8), f("dl_zero", 8, 8))
    t.reg("mipi_csi/ulps_ctrl", 0xB03C, f("ulps_enter", 0, 1), f("ulps_exit", 1, 1))
    t.reg("mipi_csi/cpu_data", 0xB040, f("data", 0, 32))
    t.reg("mipi_csi/cpu_cmd", 0xB044, f("cmd", 0, 8))
    t.reg("mipi_csi/cpu_cfg", 0xB048, f("cfg", 0, 16))
    t.reg("mipi_csi/irq_mask", 0xB060, f("val", 0, 8))
    t.reg("mipi_csi/irq_pending", 0xB064, f("val", 0, 8))
    t.reg("mipi_csi/irq_status", 0xB068, f("val", 0, 8))
    t.reg("mipi_csi/gpio_ctrl", 0xB06C, f("gpio_out", 0, 4), f("gpio_oe", 4, 4))
    t.reg("mipi_csi/stat_ctrl", 0xB080, f("stat_en", 0, 1), f("stat_clear", 1, 1))
    for name, address in [("stat_frame_cnt", 0xB084), ("stat_byte_cnt", 0xB088), ("stat_pad_cnt", 0xB08C),
                          ("stat_pkt_cnt", 0xB090), ("stat_inc_pkt_cnt", 0xB094), ("stat_frame_period", 0xB098)]:
        t.reg("mipi_csi/" + name, address, f("val", 0, 32))
    t.reg("mipi_csi/spg_cfg", 0xB0C0, f("spg_en", 0, 1), f("spg_pattern", 1, 3))
    t.reg("mipi_csi/spg_data", 0xB0C4, f("data", 0, 32))
    fill_gaps(t, 570, lambda name: name in GENX320_FIXED or name.split("/")[0] in ("bias", "nfl", "afk", "stc", "edf"))
    return t


# --------------------------------------------------------------------------------------------------
# Fusion camera board controller (frame sensor and board registers)


def fusion_board():
    rows = []

    def reg(name, address, second=0, third=0):
        rows.append((0, name, address, second, third))

    def fld(name, start, length, default):
        rows.append((1, name, start, length, default))

    reg("aps_ctrl", 0x5000)
    fld("aps_en", 0, 1, 0)
    reg("aps_exposure", 0x5001)
    fld("aps_auto_exposure_en", 0, 1, 1)
    reg("aps_shutter", 0x5002)
    fld("aps_shutter_sweep_time", 0, 20, 102)
    reg("aps_white_balance", 0x5003)
    fld("aps_auto_white_balance_en", 0, 1, 1)
    reg("aps_blk_level", 0x5004)
    # The black level offset is described by a register row: the frame-sensor tool takes its width (10 bits)
    # and default (50) as the range and default of the whole aps_blk_level register.
    reg("aps_blk_level_offset", 0, 10, 50)
    reg("aps_auto_gain", 0x5005)
    fld("aps_auto_gain_en", 0, 1, 1)
    reg("aps_gain_control", 0x5006)
    fld("aps_gain_pgc", 0, 8, 0)
    reg("firmware_version", 0x6000)
    reg("usb_serialnumber", 0x6001)
    reg("camera_reset", 0x6002)
    return rows


# --------------------------------------------------------------------------------------------------
# Bring-up sequences. W a = v: write; M a = v / m: masked write of the bits m; P n: pause of n us.

IMX636_STANDBY = (
    "M 0x0004 = 0xF0005042 / 0x00000400; W 0x002C = 0x0022C324; W 0x9028 = 0x00000002; P 1000; "
    "M 0x9008 = 0x00000644 / 0x00000001; W 0xB000 = 0x000002F8; P 300 "
)

IMX636_POWER_UP = (
    "W 0x0070 = 0x00400008; W 0x006C = 0x0EE47114; P 500; W 0xA00C = 0x00020400; P 500; "
    "W 0xA010 = 0x00008068; P 200; W 0x1104 = 0x00000000; P 200; W 0xA020 = 0x00000050; P 200; "
    "W 0xA004 = 0x000B0500; P 200; W 0xA008 = 0x00002404; P 200; W 0xA000 = 0x000B0500; "
    "W 0xB044 = 0x00000000; W 0xB004 = 0x0000000A; W 0xB040 = 0x0000000E; W 0xB0C8 = 0x00000000; "
    "W 0xB040 = 0x00000006; W 0xB040 = 0x00000004; W 0x0000 = 0x4F006442; W 0x0000 = 0x0F006442; "
    "W 0x00B8 = 0x00000401; W 0x00B8 = 0x00000400; W 0xB07C = 0x00000000 "
)

IMX636_CONFIGURATION = (
    "W 0x001C = 0x00000001; P 1000000; W 0x400004 = 0x00000001; P 500000; "
    "W 0x400004 = 0x00000000; P 1000000; W 0xB000 = 0x00000158; P 300; W 0xB044 = 0x00000000; "
    "W 0xB004 = 0x0000000A; W 0xB040 = 0x00000000; W 0xB0C8 = 0x00000000; W 0xB040 = 0x00000000; "
    "W 0xB040 = 0x00000000; W 0x0000 = 0x4F006442; W 0x0000 = 0x0F006442; W 0x00B8 = 0x00000400; "
    "W 0x00B8 = 0x00000400; W 0xB07C = 0x00000000; W 0xB074 = 0x00000002; W 0xB078 = 0x000000A0; "
    "W 0x00C0 = 0x00000110; W 0x00C0 = 0x00000210; W 0xB120 = 0x00000001; W 0xE120 = 0x00000000; "
    "W 0xB068 = 0x00000004; W 0xB07C = 0x00000001; P 10; W 0xB07C = 0x00000003; P 1000; "
    "W 0x00B8 = 0x00000401; W 0x00B8 = 0x00000409; W 0x0000 = 0x4F006442; W 0x0000 = 0x4F00644A; "
    "W 0xB080 = 0x00000077; W 0xB084 = 0x0000000F; W 0xB088 = 0x00000037; W 0xB08C = 0x00000037; "
    "W 0xB090 = 0x000000DF; W 0xB094 = 0x00000057; W 0xB098 = 0x00000037; W 0xB09C = 0x00000067; "
    "W 0xB0A0 = 0x00000037; W 0xB0A4 = 0x0000002F; W 0xB0AC = 0x00000028; W 0xB0CC = 0x00000001; "
    "W 0xB000 = 0x000002F8; W 0xB004 = 0x0000008A; W 0xB01C = 0x00000030; W 0xB020 = 0x00002000; "
    "W 0xB02C = 0x000000FF; W 0xB030 = 0x00003E80; W 0xB028 = 0x00000FA0; W 0xA000 = 0x000B0501; "
    "P 200; W 0xA008 = 0x00002405; P 200; W 0xA004 = 0x000B0501; P 200; W 0xA020 = 0x00000150; "
    "P 200; W 0xB040 = 0x00000007; W 0xB064 = 0x00000006; W 0xB040 = 0x0000000F; P 100; "
    "W 0xB004 = 0x0000008A; P 200; W 0xB0C8 = 0x00000003; P 200; W 0xB044 = 0x00000001; "
    "W 0xB000 = 0x000002F9; W 0x7008 = 0x00000001; W 0x7000 = 0x00070001; W 0x8000 = 0x0001E085; "
    "W 0x9008 = 0x00000644; W 0x0004 = 0xF0005042; W 0x0018 = 0x00000200; W 0x1014 = 0x11A1504D; "
    "W 0x9004 = 0x00000000; P 1000; W 0x9000 = 0x00000200 "
)

IMX636_START = (
    "W 0xB000 = 0x000002F9; W 0x9028 = 0x00000000; M 0x9008 = 0x00000645 / 0x00000001; "
    "W 0x002C = 0x0022C724; M 0x0004 = 0xF0005442 / 0x00000400 "
)

GENX320_STANDBY = (
    "M 0x0000 = 0x00000000 / 0x00000402; W 0x002C = 0x0022C324; W 0x9028 = 0x00000002; P 1000; "
    "W 0x9008 = 0x00010320; M 0xB000 = 0x00000000 / 0x00000001; P 300 "
)

GENX320_CONFIGURATION = (
    "W 0x1208 = 0x00000030; W 0x1104 = 0x01010019; W 0x1128 = 0x01010019; W 0x110C = 0x01010014; "
    "W 0x1130 = 0x01010014; W 0x1000 = 0x0310003D; W 0x1004 = 0x0310001D; W 0x1008 = 0x0101003F; "
    "W 0x1100 = 0x03010000; W 0x1104 = 0x01010019; W 0x1108 = 0x01010033; W 0x110C = 0x01010015; "
    "W 0x1110 = 0x01010039; W 0x1114 = 0x0309000A; W 0x1118 = 0x03010038; W 0x111C = 0x03000074; "
    "W 0x1120 = 0x010000A4; W 0x1208 = 0x00000035; W 0xB000 = 0x0400A801; W 0x7000 = 0x00000001; "
    "W 0x7044 = 0x00000001; W 0x704C = 0x000007D0; W 0xB010 = 0x00000006; W 0xB014 = 0x000007D0; "
    "W 0x9028 = 0x00000000; W 0x9008 = 0x00000321; W 0x002C = 0x0022C724; W 0x0000 = 0x00000000 "
)

SEQUENCES = [
    ("imx636StandbySequence", "standby: readout stopped, pixels held in reset", IMX636_STANDBY, 7),
    ("imx636PowerUpSequence", "power-up: supplies, clocks and the output interface", IMX636_POWER_UP, 27),
    ("imx636ConfigurationSequence", "configuration after power-up", IMX636_CONFIGURATION, 81),
    ("imx636StartSequence", "start: the counterpart of the standby sequence", IMX636_START, 5),
    ("genx320StandbySequence", "standby", GENX320_STANDBY, 7),
    ("genx320ConfigurationSequence", "configuration: biases, output interface, readout on", GENX320_CONFIGURATION,
     28),
]


def parse_sequence(text):
    ops = []
    for item in [s.strip() for s in text.split(";") if s.strip()]:
        m = re.fullmatch(r"W (0x[0-9A-F]+) = (0x[0-9A-F]+)", item)
        if m:
            ops.append((2, int(m.group(1), 16), int(m.group(2), 16), 0, 0))
            continue
        m = re.fullmatch(r"M (0x[0-9A-F]+) = (0x[0-9A-F]+) / (0x[0-9A-F]+)", item)
        if m:
            ops.append((3, int(m.group(1), 16), int(m.group(2), 16), int(m.group(3), 16), 0))
            continue
        m = re.fullmatch(r"P (\d+)", item)
        assert m, item
        ops.append((4, 0, 0, 0, int(m.group(1))))
    return ops


# --------------------------------------------------------------------------------------------------
# Output

HEADER = """// Generated by gen_tables.py from the register descriptions in that script; do not edit.
// clang-format off
"""


def table_rows(t):
    rows = []
    for name, address, fields in t.regs:
        rows.append((0, name, address, 0, 0))
        for fname, start, length, default, aliases in fields:
            rows.append((1, fname, start, length, default))
            for aname, value in aliases:
                rows.append((2, aname, value, 0, 0))
    return rows


def emit_table(path, symbol, what, rows, counts):
    lines = [HEADER, '#include "sensor/tables/RegisterTables.h"', "", "namespace zelvan {", "",
             "// %s: %d rows, %d registers, %d fields, %d aliases." % (what, counts[3], counts[0], counts[1],
                                                                       counts[2]),
             "const RegisterInfo %s[] = {" % symbol]
    for kind, name, a, b, c in rows:
        lines.append('    {%d, "%s", 0x%X, %d, 0x%X},' % (kind, name, a, b, c))
    lines += ["};", "const size_t %sSize = sizeof(%s) / sizeof(%s[0]);" % (symbol, symbol, symbol), "",
              "}  // namespace zelvan", ""]
    with open(path, "w") as out:
        out.write("\n".join(lines))


def emit_sequences(path):
    lines = [HEADER, '#include <iterator>', "", '#include "sensor/tables/RegisterTables.h"', "",
             "namespace zelvan {", "", "namespace {"]
    for fn, comment, text, count in SEQUENCES:
        ops = parse_sequence(text)
        assert len(ops) == count, (fn, len(ops))
        lines.append("// %s (%d operations)" % (comment, len(ops)))
        lines.append("constexpr RegisterOperation k_%s[] = {" % fn)
        for kind, address, value, mask, pause in ops:
            lines.append("    {%d, 0x%04X, 0x%08X, 0x%08X, %d}," % (kind, address, value, mask, pause))
        lines.append("};")
    lines += ["}  // namespace", ""]
    for fn, _, _, _ in SEQUENCES:
        lines += ["const std::vector<RegisterOperation>& %s() {" % fn,
                  "    static const std::vector<RegisterOperation> sequence(std::begin(k_%s), std::end(k_%s));"
                  % (fn, fn),
                  "    return sequence;", "}", ""]
    lines += ["}  // namespace zelvan", ""]
    with open(path, "w") as out:
        out.write("\n".join(lines))


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    imx = imx636()
    assert imx.counts() == (742, 2011, 126, 2879), imx.counts()
    gen = genx320()
    assert gen.counts() == (226, 570, 0, 796), gen.counts()
    board = fusion_board()
    assert len(board) == 17
    emit_table(os.path.join(out_dir, "Imx636RegisterTable.cpp"), "kImx636RegisterTable",
               "IMX636-family event sensor", table_rows(imx), imx.counts())
    emit_table(os.path.join(out_dir, "Genx320RegisterTable.cpp"), "kGenx320RegisterTable", "GenX320 event sensor",
               table_rows(gen), gen.counts())
    emit_table(os.path.join(out_dir, "FusionBoardRegisterTable.cpp"), "kFusionBoardRegisterTable",
               "fusion camera board controller", board,
               (sum(1 for r in board if r[0] == 0), sum(1 for r in board if r[0] == 1), 0, len(board)))
    emit_sequences(os.path.join(out_dir, "RegisterSequences.cpp"))


if __name__ == "__main__":
    main()
