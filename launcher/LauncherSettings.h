#pragma once

// What the launcher tells the platform: the names of its environment
// variables, its trace prefix and the open tool it carries. Called first by
// every program of ours, before anything else runs.
void applyLauncherSettings();
