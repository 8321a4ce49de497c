#pragma once
// Tessaline SDK for robot teleoperation and data collection.
#include "tessaline/config.hpp"
#include "tessaline/grpc_client.hpp"
#include "tessaline/values.hpp"
