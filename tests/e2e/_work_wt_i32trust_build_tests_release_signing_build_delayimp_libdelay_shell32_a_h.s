# Import trampoline
	.section	.text
	.global	__tailMerge__work_wt_i32trust_build_tests_release_signing_build_delayimp_libdelay_shell32_a
	.seh_proc	__tailMerge__work_wt_i32trust_build_tests_release_signing_build_delayimp_libdelay_shell32_a
__tailMerge__work_wt_i32trust_build_tests_release_signing_build_delayimp_libdelay_shell32_a:
	subq $72, %rsp
	.seh_stackalloc 72
	.seh_endprologue
	movq %rcx, 64(%rsp)
	movq %rdx, 56(%rsp)
	movq %r8, 48(%rsp)
	movq %r9, 40(%rsp)
	movq  %rax, %rdx
	leaq  __DELAY_IMPORT_DESCRIPTOR__work_wt_i32trust_build_tests_release_signing_build_delayimp_libdelay_shell32_a(%rip), %rcx
	call __delayLoadHelper2
	movq 40(%rsp), %r9
	movq 48(%rsp), %r8
	movq 56(%rsp), %rdx
	movq 64(%rsp), %rcx
	addq $72, %rsp
	jmp *%rax
	.seh_endproc

# DELAY_IMPORT_DESCRIPTOR
.section	.text$2
.global __DELAY_IMPORT_DESCRIPTOR__work_wt_i32trust_build_tests_release_signing_build_delayimp_libdelay_shell32_a
__DELAY_IMPORT_DESCRIPTOR__work_wt_i32trust_build_tests_release_signing_build_delayimp_libdelay_shell32_a:
	.long 1	# grAttrs
	.rva	___work_wt_i32trust_build_tests_release_signing_build_delayimp_libdelay_shell32_a_iname	# rvaDLLName
	.rva	__DLL_HANDLE__work_wt_i32trust_build_tests_release_signing_build_delayimp_libdelay_shell32_a	# rvaHmod
	.rva	__IAT__work_wt_i32trust_build_tests_release_signing_build_delayimp_libdelay_shell32_a	# rvaIAT
	.rva	__INT__work_wt_i32trust_build_tests_release_signing_build_delayimp_libdelay_shell32_a	# rvaINT
	.long	0	# rvaBoundIAT
	.long	0	# rvaUnloadIAT
	.long	0	# dwTimeStamp

.section .data
__DLL_HANDLE__work_wt_i32trust_build_tests_release_signing_build_delayimp_libdelay_shell32_a:
	.long	0	# Handle
	.long	0

#Stuff for compatibility
	.section	.idata$5
	.long	0
	.long	0
__IAT__work_wt_i32trust_build_tests_release_signing_build_delayimp_libdelay_shell32_a:
	.section	.idata$4
	.long	0
	.long	0
	.section	.idata$4
__INT__work_wt_i32trust_build_tests_release_signing_build_delayimp_libdelay_shell32_a:
	.section	.idata$2
