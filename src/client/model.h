// What a whisper.cpp model file tells about itself before whisper-cli loads it: which of
// whisper-cli's DTW presets (its tables of the attention heads that align words with the audio)
// the model has. A preset names heads by text layer and head number; one that the model lacks
// makes whisper-cli crash, and one of another model gives word times from the wrong heads.
#pragma once

#include <optional>
#include <string>
#include <vector>

// The presets whisper-cli knows, as it spells them.
const std::vector<std::string>& dtwPresets();

// The preset for the model at `path`, from the shape its ggml header gives: the text layers and
// heads that the presets' tables assume, with the vocabulary (English-only or multilingual) and
// the mel bins telling the kinds of one shape apart. Large v1 and v2 share a shape and get v2's.
// "" for a shape of no preset (a distilled or pruned model: it runs without DTW). Nothing when
// the path holds no readable ggml model (missing, short, another format, not a regular file).
std::optional<std::string> dtwPresetOf(const std::string& path);

// The preset that the file name whisper.cpp gives a released model implies ("ggml-base.en.bin",
// "ggml-large-v3-turbo-q5_0.bin"), for a model that has yet to be downloaded; "" for any other
// name.
std::string dtwPresetNamed(const std::string& path);
