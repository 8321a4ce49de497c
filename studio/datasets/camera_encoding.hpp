#pragma once
// Encoding one staged episode's pictures into its cameras' episode videos
// (see episode_video.hpp), when nothing encoded them while it recorded.
// Each camera's pictures are decoded and encoded on a thread of their own;
// the calling thread reads every staged frame once, in order, and hands
// the pictures over through short queues, so memory stays bounded
// whatever the episode's length.
#include <filesystem>
#include <map>
#include <string>

#include "studio/datasets/episode_video.hpp"
#include "studio/datasets/staged_episode.hpp"

namespace studio {

// Throws when a frame lacks a camera's picture or a camera changes size.
void encode_episode(const StagedEpisode& episode, long episode_index, const std::map<std::string, EpisodeVideoSettings>& cameras,
                    const std::filesystem::path& dir);

}  // namespace studio
