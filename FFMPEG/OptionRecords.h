// Plain records that describe a job's input and output (filled by the queue and the profile
// translation, applied to an engine by the job component).
#pragma once
