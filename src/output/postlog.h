// The post-install log "/flash/postlog": the messages of each run, kept
// across runs.
#pragma once

class Installer;

void reservePostLog(Installer& installer);
void writePostLog(Installer& installer);
