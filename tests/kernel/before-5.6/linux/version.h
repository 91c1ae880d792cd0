/* SPDX-License-Identifier: GPL-2.0-only */
/*
 * Put first on the include path, this stands in for the kernel's own
 * <linux/version.h> and claims a kernel from before 5.6, where /proc entries
 * took a file_operations table.
 */
#ifndef TARROW_BEFORE_5_6_VERSION_H
#define TARROW_BEFORE_5_6_VERSION_H

#define KERNEL_VERSION(a, b, c) (((a) << 16) + ((b) << 8) + ((c) > 255 ? 255 : (c)))
#define LINUX_VERSION_CODE KERNEL_VERSION(5, 5, 0)

#endif
