// Package identity of cassard.
#pragma once

#define PACKAGE "cassard"
#define VERSION "4.01"
