// The calls of FluidSynth's library (libfluidsynth.so.3, FluidSynth 2) that the synth makes,
// declared here: FluidSynth's own headers come only with libfluidsynth-dev, which brings
// the headers of all it can play through (SDL2, Mesa, X11, JACK, PulseAudio: some 180
// packages) to every box that builds the synth, a Pi included. A test compiles these
// against FluidSynth's own header where it is installed (tests/unit/fluid_check.cpp).
#pragma once

extern "C" {
typedef struct _fluid_hashtable_t fluid_settings_t;
typedef struct _fluid_synth_t fluid_synth_t;
typedef void (*fluid_log_function_t)(int level, const char *message, void *data);

fluid_log_function_t fluid_set_log_function(int level, fluid_log_function_t fun, void *data);
fluid_settings_t *new_fluid_settings(void);
int fluid_settings_setnum(fluid_settings_t *settings, const char *name, double val);
int fluid_settings_setint(fluid_settings_t *settings, const char *name, int val);
fluid_synth_t *new_fluid_synth(fluid_settings_t *settings);
int fluid_synth_sfload(fluid_synth_t *synth, const char *filename, int reset_presets);
int fluid_synth_noteon(fluid_synth_t *synth, int chan, int key, int vel);
int fluid_synth_noteoff(fluid_synth_t *synth, int chan, int key);
int fluid_synth_key_pressure(fluid_synth_t *synth, int chan, int key, int val);
int fluid_synth_cc(fluid_synth_t *synth, int chan, int ctrl, int val);
int fluid_synth_program_change(fluid_synth_t *synth, int chan, int program);
int fluid_synth_channel_pressure(fluid_synth_t *synth, int chan, int val);
int fluid_synth_pitch_bend(fluid_synth_t *synth, int chan, int val);
int fluid_synth_sysex(fluid_synth_t *synth, const char *data, int len, char *response,
                      int *response_len, int *handled, int dryrun);
int fluid_synth_write_s16(fluid_synth_t *synth, int len, void *lout, int loff, int lincr,
                          void *rout, int roff, int rincr);
int fluid_synth_all_notes_off(fluid_synth_t *synth, int chan);
int fluid_synth_get_program(fluid_synth_t *synth, int chan, int *sfont_id, int *bank_num,
                            int *preset_num);
int fluid_synth_get_active_voice_count(fluid_synth_t *synth);
}

// Its log levels (enum fluid_log_level), and its results (FLUID_OK, FLUID_FAILED).
constexpr int FLUIDLOG_PANIC = 0, FLUIDLOG_ERR = 1, FLUIDLOG_WARN = 2, FLUIDLOG_INFO = 3,
              FLUIDLOG_DBG = 4;
constexpr int FLUIDOK = 0, FLUIDFAILED = -1;
