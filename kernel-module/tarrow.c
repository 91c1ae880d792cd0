// SPDX-License-Identifier: GPL-2.0-only
/*
 * tarrow: publishes the read-only file /proc/tarrow, whose content is one
 * fixed greeting line, for as long as the module is loaded.
 */

#include <linux/module.h>
#include <linux/proc_fs.h>
#include <linux/seq_file.h>
#include <linux/version.h>

#define TARROW_ENTRY "tarrow"

static int tarrow_show(struct seq_file *m, void *v)
{
	seq_printf(m, "Hello proc yend!\n");
	return 0;
}

static int tarrow_open(struct inode *inode, struct file *file)
{
	return single_open(file, tarrow_show, NULL);
}

/* Kernels from 5.6 on take a proc_ops table for /proc entries. */
#if KERNEL_VERSION(5, 6, 0) <= LINUX_VERSION_CODE
static const struct proc_ops tarrow_fops = {
	.proc_open = tarrow_open,
	.proc_read = seq_read,
	.proc_lseek = seq_lseek,
	.proc_release = single_release,
};
#else
static const struct file_operations tarrow_fops = {
	.owner = THIS_MODULE,
	.open = tarrow_open,
	.read = seq_read,
	.llseek = seq_lseek,
	.release = single_release,
};
#endif

static int __init tarrow_init(void)
{
	/*
	 * Creation fails when the name is taken or memory is short. Loading
	 * anyway would leave no entry, and unloading would then remove an entry
	 * of this name that belongs to someone else.
	 */
	if (!proc_create_data(TARROW_ENTRY, 0, NULL, &tarrow_fops, NULL))
		return -ENOMEM;
	return 0;
}

static void __exit tarrow_exit(void)
{
	remove_proc_entry(TARROW_ENTRY, NULL);
}

module_init(tarrow_init);
module_exit(tarrow_exit);

MODULE_LICENSE("GPL");
